#!/usr/bin/env python3
# peers.py -- times the native peers (Info-ZIP unzip, Python's zipfile, bsdtar)
# on the benchmark's large archives and prints them beside the figures that
# extract_bench measured under Wine, with the ratios the targets are set in;
# then the same for the methods beyond deflate (methods_bench), with 7zz and
# bsdtar as the peers. Each part is left out when its archives are missing.
#
#   peers.py DATA_DIRECTORY FIGURES_FILE [--rounds N]
import argparse
import os
import shutil
import subprocess
import sys
import time
import zipfile

MEGABYTE = 1e6
ARCHIVES = [("deflated", "deflated.zip"), ("stored", "stored.zip")]
TARGET_SHARE = 95  # per cent of the fastest plain loop (16 KiB to 1 MiB blocks)
TREE_TARGET_SHARE = 90  # files in a tree: per cent of the plain CreateFile ... CloseHandle loop
AES_TARGET_SHARE = 80  # AES-256 extraction of the deflated entry, per cent of the plain one
PRIVATE_LIMIT_KIB = 2048  # what one extracting archive may add (deflated), and others beyond their declared memory

# The methods beyond deflate: kind (KIND.zip), label. deflate.zip is 7zz's
# Deflate of the same content, Deflate64's comparison.
METHOD_KINDS = [("deflate", "Deflate"), ("deflate64", "Deflate64"), ("bzip2", "bzip2"), ("lzma", "LZMA"),
                ("ppmd", "PPMd"), ("xz", "XZ"), ("zstd", "Zstandard")]
METHOD_TARGET_SHARE = 90  # a library-backed method, per cent of the faster plain loop over its library
DEFLATE64_TARGET_SHARE = 80  # Deflate64, per cent of the add-on's own Deflate on the same content
# Each writes the entry into an empty folder, as the add-on writes a file.
METHOD_PEERS = [
    ("7zz", lambda a, o: ["7zz", "x", "-y", "-bd", "-bso0", "-bsp0", f"-o{o}", a], "7zz"),
    ("bsdtar", lambda a, o: ["bsdtar", "-xf", a, "-C", o], "bsdtar"),
]
PEER_CANNOT = {("deflate64", "bsdtar"): "libarchive reads no Deflate64 (method 9)"}

# name, command (archive, output directory), the program that must exist
PEERS = [
    ("Info-ZIP unzip", lambda a, o: ["unzip", "-o", "-qq", a, "-d", o], "unzip"),
    ("Python zipfile", lambda a, o: [sys.executable, "-c",
                                     "import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])",
                                     a, o], sys.executable),
    ("bsdtar", lambda a, o: ["bsdtar", "-xf", a, "-C", o], "bsdtar"),
]


def read_figures(path):
    figures = {}
    with open(path) as f:
        for line in f:
            key, value = line.split()
            figures[key] = float(value)
    return figures


def warm_up(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def time_peer(command, archive, out_dir, expected, rounds):
    """Fastest of `rounds` runs, in seconds; each run extracts into an empty folder."""
    times = []
    for _ in range(rounds):
        shutil.rmtree(out_dir, ignore_errors=True)
        os.makedirs(out_dir)
        start = time.perf_counter()
        subprocess.run(command(archive, out_dir), check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
        written = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(out_dir) for n in names)
        if written != expected:
            raise SystemExit(f"peers.py: {command(archive, out_dir)[0]} wrote {written} bytes, expected {expected}")
    shutil.rmtree(out_dir, ignore_errors=True)
    return min(times)


def deflate_and_stored(args, figures):
    """The deflated and stored entries against unzip, zipfile and bsdtar."""
    peers = {}
    for kind, name in ARCHIVES:
        archive = os.path.join(args.data, name)
        with zipfile.ZipFile(archive) as z:
            expected = sum(i.file_size for i in z.infolist())
        warm_up(archive)
        for label, command, program in PEERS:
            if shutil.which(program) is None:
                print(f"[bench] {program} is not installed; {label} is left out", file=sys.stderr)
                continue
            seconds = time_peer(command, archive, os.path.join(args.data, "peer-out"), expected, args.rounds)
            peers[(kind, label)] = expected / MEGABYTE / seconds

    def ours(kind, key):
        return figures.get(f"{kind}.{key}")

    def cell(value, form="{:9.1f}"):
        return form.format(value) if value is not None else f"{'-':>9}"

    kinds = [kind for kind, _ in ARCHIVES]
    print()
    print(f"{'Extraction of one 200 MB entry, MB/s of output (fastest run)':<62}{'deflated':>9} {'stored':>9}")
    rows = [
        ("plain loop, 16 KiB blocks (Wine)", "loop16"),
        ("plain loop, 16 KiB, whole output blocks (Wine)", "loop16_whole"),
        ("plain loop, 64 KiB blocks (Wine)", "loop64"),
        ("plain loop, 256 KiB blocks (Wine)", "loop256"),
        ("plain loop, 1 MiB blocks (Wine)", "loop1024"),
        ("fastest plain loop (Wine)", "loop"),
        ("add-on: GETITEM to a file (Wine)", "addon"),
        ("reader: ExtractEntry to a file (Wine)", "reader"),
        ("add-on: GETITEM to a file, AES-256 (Wine)", "aes.addon"),
    ]
    for label, key in rows:
        print(f"  {label:<60}" + " ".join(cell(ours(k, key)) for k in kinds))
    for label, _, _ in PEERS:
        print(f"  {label + ' (native)':<60}" + " ".join(cell(peers.get((k, label))) for k in kinds))

    def ratio_row(label, values, form):
        print(f"  {label:<60}" + " ".join(cell(v, form) for v in values))

    def over(key):
        return [ours(k, "addon") / ours(k, key) if ours(k, "addon") and ours(k, key) else None for k in kinds]

    percent = "{:8.0f}%"
    print()
    print("Ratios (add-on's MB/s over the other's; the loops' also round by round)")
    ratio_row("add-on / 16 KiB loop", [ours(k, "addon_vs_loop16") for k in kinds], percent)
    ratio_row("  median of the rounds' own ratios", [ours(k, "addon_vs_loop16_paired") for k in kinds], percent)
    ratio_row("add-on / 16 KiB loop with whole output blocks",
              [ours(k, "addon_vs_loop16_whole") for k in kinds], percent)
    ratio_row("  median of the rounds' own ratios", [ours(k, "addon_vs_loop16_whole_paired") for k in kinds], percent)
    ratio_row("add-on / 256 KiB loop", [v * 100 if v else None for v in over("loop256")], percent)
    ratio_row("add-on / fastest plain loop", [ours(k, "addon_vs_loop") for k in kinds], percent)
    ratio_row("add-on AES-256 / add-on plain (same rounds)", [ours(k, "aes.addon_share") for k in kinds], percent)
    for label, _, _ in PEERS:
        ratio_row(f"add-on / {label} (native)",
                  [ours(k, "addon") / peers[(k, label)] if ours(k, "addon") and (k, label) in peers else None
                   for k in kinds], "{:9.2f}")

    # The loop target is judged against the fastest plain loop of the run.
    verdicts = []
    for k in kinds:
        share = ours(k, "addon_vs_loop")
        if share:
            verdicts.append(f"{k} {share:.0f}% of the fastest loop: {'met' if share >= TARGET_SHARE else 'MISSED'}")
        for label in ("Info-ZIP unzip", "Python zipfile"):
            peer = peers.get((k, label))
            if peer and ours(k, "addon"):
                verdicts.append(f"{k} vs {label}: {'beaten' if ours(k, 'addon') > peer else 'NOT beaten'}")
        bsdtar = peers.get((k, "bsdtar"))
        if bsdtar and ours(k, "addon"):
            verdicts.append(f"{k} vs bsdtar (moonshot): {100 * ours(k, 'addon') / bsdtar:.0f}%")
        if ours(k, "private_kib") is not None:
            verdicts.append(f"{k}: {ours(k, 'private_kib'):.0f} KiB of private bytes added while extracting "
                            f"(limit 2048): {'met' if ours(k, 'private_kib') <= 2048 else 'MISSED'}")
    for key, share in sorted(figures.items()):
        if key.startswith("tree_share."):
            verdicts.append(f"files in a tree, N = {key.rsplit('.', 1)[1]}: {share:.0f}% of the plain loop: "
                            f"{'met' if share >= TREE_TARGET_SHARE else 'MISSED'}")
    aes_share = ours("deflated", "aes.addon_share")
    if aes_share:
        verdicts.append(f"deflated AES-256 {aes_share:.0f}% of plain: "
                        f"{'met' if aes_share >= AES_TARGET_SHARE else 'MISSED'}")
    if "platform.aes_ecb16" in figures:
        verdicts.append(f"(bcrypt alone: AES-256 ECB {figures['platform.aes_ecb16']:.0f} MB/s, "
                        f"HMAC-SHA1 {figures['platform.hmac_sha1']:.0f} MB/s, "
                        f"key setup {figures['platform.key_setup_ms']:.2f} ms)")
    print()
    print(f"Targets ({TARGET_SHARE}% of the fastest loop; faster than unzip and zipfile; "
          f"{TREE_TARGET_SHARE}% of the plain loop for files in a tree; AES-256 at {AES_TARGET_SHARE}% of plain):")
    for verdict in verdicts:
        print("  " + verdict)

    many = sorted(((key, value) for key, value in figures.items() if key.startswith(("many.", "tree."))),
                  key=lambda item: (item[0].rsplit(".", 1)[0], int(item[0].rsplit(".", 1)[1])))
    if many:
        print()
        print("Many small entries, microseconds per entry (linear in N: the same figure at every N)")
        for key, value in many:
            _, who, n = key.split(".")
            where = "onto one handle" if key.startswith("many.") else "as files in a tree"
            print(f"  {who:<7} {where:<20} N = {int(n):>6}  {value:9.1f}")

    # One line per kind, to compare runs: MB/s, the loop the fastest of the run.
    def figure(value):
        return f"{value:.1f}" if value is not None else "-"

    print()
    for k in kinds:
        print(f"RESULT {k} addon={figure(ours(k, 'addon'))} loop={figure(ours(k, 'loop'))} "
              f"unzip={figure(peers.get((k, 'Info-ZIP unzip')))} zipfile={figure(peers.get((k, 'Python zipfile')))} "
              f"bsdtar={figure(peers.get((k, 'bsdtar')))}")


def methods(args, figures):
    """The methods beyond deflate against 7zz and bsdtar on the same archives."""
    kinds = [(k, label) for k, label in METHOD_KINDS if os.path.exists(os.path.join(args.data, f"{k}.zip"))]
    peers = {}
    notes = []
    for kind, _ in kinds:
        archive = os.path.join(args.data, f"{kind}.zip")
        with zipfile.ZipFile(archive) as z:
            expected = sum(i.file_size for i in z.infolist())
        warm_up(archive)
        for label, command, program in METHOD_PEERS:
            if (kind, label) in PEER_CANNOT:
                continue
            if shutil.which(program) is None:
                notes.append(f"{program} is not installed; left out")
                continue
            seconds = time_peer(command, archive, os.path.join(args.data, "peer-out"), expected, args.rounds)
            peers[(kind, label)] = expected / MEGABYTE / seconds

    def ours(kind, key):
        return figures.get(f"{kind}.{key}")

    def cell(value, form="{:8.1f}", width=8):
        return form.format(value) if value is not None else f"{'-':>{width}}"

    # Deflate's add-on and loop figures were measured beside Deflate64's.
    def addon(kind):
        return ours("deflate64", "deflate.addon") if kind == "deflate" else ours(kind, "addon")

    def loop(kind):
        return ours("deflate64", "deflate.loop256") if kind == "deflate" else ours(kind, "loop")

    print()
    print("One 200 MB entry of text in each method, MB/s of output (fastest run); memory in KiB")
    print(f"  {'method':<11}{'packed MB':>10}{'add-on':>9}{'loop':>9}{'add-on/loop':>13}{'7zz':>9}{'bsdtar':>9}"
          f"{'/7zz':>7}{'/bsdtar':>9}{'private':>9}{'declared':>10}{'beyond':>8}")
    for kind, label in kinds:
        share = ours(kind, "addon_vs_loop")
        private, declared = ours(kind, "private_kib"), ours(kind, "declared_kib")
        row = f"  {label:<11}" + cell(ours(kind, "packed_mb"), "{:10.1f}", 10)
        row += cell(addon(kind), "{:9.1f}", 9) + cell(loop(kind), "{:9.1f}", 9)
        row += cell(share, "{:12.0f}%", 13) if kind != "deflate" else f"{'':>13}"
        for label_, _, _ in METHOD_PEERS:
            row += cell(peers.get((kind, label_)), "{:9.1f}", 9)
        row += cell(addon(kind) / peers[(kind, "7zz")] if addon(kind) and (kind, "7zz") in peers else None,
                    "{:7.2f}", 7)
        row += cell(addon(kind) / peers[(kind, "bsdtar")] if addon(kind) and (kind, "bsdtar") in peers else None,
                    "{:9.2f}", 9)
        row += cell(private, "{:9.0f}", 9) + cell(declared, "{:10.0f}", 10)
        row += cell(private - declared if private is not None and declared is not None else None, "{:8.0f}", 8)
        print(row)
    for (kind, label), why in PEER_CANNOT.items():
        if any(k == kind for k, _ in kinds):
            print(f"  ({label} on {kind}.zip: {why})")
    for note in notes:
        print(f"  ({note})")

    verdicts = []
    for kind, label in kinds:
        share, paired = ours(kind, "addon_vs_loop") or 0, ours(kind, "addon_vs_loop_paired") or 0
        if kind not in ("deflate", "deflate64") and share:
            verdicts.append(f"{label}: {share:.0f}% of the faster plain loop over its library "
                            f"({paired:.0f}% median of the rounds, {ours(kind, 'addon_vs_loop_cpu') or 0:.0f}% "
                            f"by CPU time): "
                            f"{'met' if share >= METHOD_TARGET_SHARE else 'MISSED'}")
        if kind == "deflate64" and ours(kind, "addon_vs_deflate"):
            versus = ours(kind, "addon_vs_deflate")
            verdicts.append(f"{label}: {versus:.0f}% of the add-on's Deflate on the same content "
                            f"({ours(kind, 'addon_vs_deflate_paired') or 0:.0f}% median of the rounds, "
                            f"{ours(kind, 'addon_vs_deflate_cpu') or 0:.0f}% by CPU time; "
                            f"{share:.0f}% of a plain loop over its own decoder): "
                            f"{'met' if versus >= DEFLATE64_TARGET_SHARE else 'MISSED'}")
        private, declared = ours(kind, "private_kib"), ours(kind, "declared_kib")
        if private is not None and declared is not None:
            verdicts.append(f"{label}: {private:.0f} KiB of private bytes added while extracting, "
                            f"{private - declared:.0f} beyond the {declared:.0f} its stream declares "
                            f"(limit {PRIVATE_LIMIT_KIB} beyond): "
                            f"{'met' if private - declared <= PRIVATE_LIMIT_KIB else 'MISSED'}")
    print()
    print(f"Targets ({METHOD_TARGET_SHARE}% of a plain loop over the method's library; Deflate64 at "
          f"{DEFLATE64_TARGET_SHARE}% of the add-on's Deflate; memory: what the stream declares "
          f"plus {PRIVATE_LIMIT_KIB} KiB):")
    for verdict in verdicts:
        print("  " + verdict)

    def figure(value, form="{:.1f}"):
        return form.format(value) if value is not None else "-"

    print()
    for kind, _ in kinds:
        if kind == "deflate":
            continue
        line = f"RESULT {kind} addon={figure(addon(kind))} loop={figure(loop(kind))}"
        if kind == "deflate64":
            line += f" deflate={figure(addon('deflate'))}"
        line += (f" 7zz={figure(peers.get((kind, '7zz')))} bsdtar={figure(peers.get((kind, 'bsdtar')))}"
                 f" private_kib={figure(ours(kind, 'private_kib'), '{:.0f}')}")
        print(line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("figures")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    figures = read_figures(args.figures)
    if all(os.path.exists(os.path.join(args.data, name)) for _, name in ARCHIVES):
        deflate_and_stored(args, figures)
    methods(args, figures)


if __name__ == "__main__":
    main()
