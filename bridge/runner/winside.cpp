// winside.cpp -- starting, talking to and ending the Windows side.
// The process runs in a process group of its own and dies with the runner
// (PR_SET_PDEATHSIG), so that no Wine process outlives the script, whatever
// way the script or the runner ends.
#include "winside.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <new>

namespace rexxrun {

// Starting a Wine process takes a fraction of a second with a running
// wineserver, some seconds without; a prefix that Wine must first update can
// take a minute.
static const int START_TIMEOUT_MS = 180 * 1000;
// How long the Windows side may take to release the add-on at the end.
static const int STOP_TIMEOUT_MS = 20 * 1000;
static const size_t READ_CHUNK = 64 * 1024;

static bool IsFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

static bool OnPath(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (access(((dir.empty() ? "." : dir) + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

static long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// What the Windows side cannot do without, in one line; empty when all is there.
std::string WindowsSide::missing() const
{
    const std::string exe = config_.bridgeDir + "/tvbridge.exe";
    if (!IsFile(exe) || !IsFile(config_.bridgeDir + "/morvalin.dll"))
        return "the bridge program " + exe + " or the host morvalin.dll beside it is missing "
               "(tools/rexx.sh builds them)";
    // A Windows path (C:\..., \\server\...) is for the Windows side to find.
    const std::string& addon = config_.addon;
    const bool windowsPath = (addon.size() > 1 && addon[1] == ':') || addon.rfind("\\\\", 0) == 0;
    if (!windowsPath && !IsFile(addon))
        return "the add-on " + addon + " does not exist";
    if (!OnPath(config_.wine))
        return "Wine is not installed: no " + config_.wine + " on PATH (tools/setup.sh installs it)";
    const char* prefix = getenv("WINEPREFIX");
    const char* home = getenv("HOME");
    std::string folder = prefix != nullptr && *prefix != '\0'
                             ? prefix
                             : std::string(home != nullptr ? home : "") + "/.wine";
    if (!IsFile(folder + "/system.reg"))
        return "there is no Wine prefix at " + folder + " (tools/rexx.sh makes one)";
    return std::string();
}

bool WindowsSide::ensureStarted()
{
    if (failed())
        return false;
    if (pid_ > 0)
        return true;
    failure_ = missing();
    if (failed())
        return false;

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        failure_ = std::string("cannot make the pipes to the Windows side: ") + strerror(errno);
        return false;
    }
    const std::string exe = config_.bridgeDir + "/tvbridge.exe";
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        failure_ = std::string("cannot start the Windows side: ") + strerror(errno);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        return false;
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        setenv("WINEDEBUG", "-all", 0);  // Wine's own diagnostics only when asked for
        dup2(in[0], 0);
        dup2(out[1], 1);
        execlp(config_.wine.c_str(), config_.wine.c_str(), exe.c_str(), config_.addon.c_str(),
               static_cast<char*>(nullptr));
        std::fprintf(stderr, "tarvune: cannot run %s: %s\n", config_.wine.c_str(), strerror(errno));
        _exit(127);
    }
    setpgid(child, child);
    close(in[0]);
    close(out[1]);
    pid_ = child;
    toChild_ = in[1];
    fromChild_ = out[0];
    reaped_ = false;
    start_ = end_ = 0;
    setenv("TARVUNE_BRIDGE_PID", std::to_string(pid_).c_str(), 1);

    std::vector<char> body;
    unsigned char header[4];
    if (!readExactly(reinterpret_cast<char*>(header), 4, START_TIMEOUT_MS) ||
        bridge::FrameLength(header) == 0 || bridge::FrameLength(header) > 65536 ||
        (body.resize(bridge::FrameLength(header)),
         !readExactly(body.data(), body.size(), START_TIMEOUT_MS))) {
        fail("while starting");
        return false;
    }
    bridge::FrameReader ready(body.data(), body.size());
    const bridge::Message message = ready.message();
    const uint32_t status = ready.number();
    const std::string text = ready.text();
    if (ready.failed() || message != bridge::MESSAGE_READY) {
        fail("while starting, after a malformed first message");
        return false;
    }
    if (status != bridge::READY_LOADED) {
        kill();
        failure_ = text.empty() ? "the add-on did not load" : text;
        return false;
    }
    return true;
}

bool WindowsSide::send(bridge::FrameWriter& frame)
{
    if (pid_ <= 0)
        return false;
    const std::string& bytes = frame.frame();
    // A Windows side that died must show as a failed write, not end the
    // runner by SIGPIPE; the script's own commands keep the usual SIGPIPE.
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(toChild_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    sigaction(SIGPIPE, &previous, nullptr);
    return done == bytes.size();
}

bool WindowsSide::readExactly(char* buffer, size_t length, int timeoutMs)
{
    const long deadline = timeoutMs < 0 ? 0 : NowMs() + timeoutMs;
    while (length > 0) {
        if (start_ == end_) {
            if (timeoutMs >= 0) {
                struct pollfd p = {fromChild_, POLLIN, 0};
                long left = deadline - NowMs();
                int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready <= 0)
                    return false;
            }
            // Large bodies are read straight into place, small ones through the buffer.
            char* into = buffer;
            size_t want = length;
            if (length < READ_CHUNK) {
                buffer_.resize(READ_CHUNK);
                into = buffer_.data();
                want = READ_CHUNK;
            }
            ssize_t n = read(fromChild_, into, want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            if (into == buffer) {
                buffer += n;
                length -= static_cast<size_t>(n);
                continue;
            }
            start_ = 0;
            end_ = static_cast<size_t>(n);
        }
        size_t take = end_ - start_ < length ? end_ - start_ : length;
        memcpy(buffer, buffer_.data() + start_, take);
        start_ += take;
        buffer += take;
        length -= take;
    }
    return true;
}

bool WindowsSide::receive(std::vector<char>* body)
{
    if (pid_ <= 0)
        return false;
    unsigned char header[4];
    if (!readExactly(reinterpret_cast<char*>(header), 4, -1))
        return false;
    const uint32_t length = bridge::FrameLength(header);
    if (length == 0 || length > bridge::FRAME_LIMIT)
        return false;
    try {
        if (length > body->capacity())
            std::vector<char>().swap(*body);  // the old bytes are not kept: free them first
        body->resize(length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return readExactly(body->data(), length, -1);
}

std::string WindowsSide::howItEnded()
{
    // A process that closed its output is usually ending: give it a moment.
    for (int i = 0; i < 100 && !reaped_; i++) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            reaped_ = true;
        else
            usleep(10 * 1000);
    }
    if (!reaped_)
        return "it stopped answering";
    if (WIFSIGNALED(status_))
        return "killed by signal " + std::to_string(WTERMSIG(status_));
    return "exit status " + std::to_string(WEXITSTATUS(status_));
}

void WindowsSide::fail(const std::string& during)
{
    if (pid_ <= 0)
        return;
    std::string how = howItEnded();
    kill();
    if (!failed())
        failure_ = "the Windows side ended " + during + " (" + how + ")";
}

void WindowsSide::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    if (!reaped_)
        waitpid(pid_, &status_, 0);
    reaped_ = true;
    close(toChild_);
    close(fromChild_);
    toChild_ = fromChild_ = -1;
    pid_ = -1;
    unsetenv("TARVUNE_BRIDGE_PID");
}

void WindowsSide::stop()
{
    if (pid_ <= 0)
        return;
    close(toChild_);
    toChild_ = -1;
    const long deadline = NowMs() + STOP_TIMEOUT_MS;
    while (!reaped_ && NowMs() < deadline) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            reaped_ = true;
        else
            usleep(5 * 1000);
    }
    if (!reaped_)
        std::fprintf(stderr, "tarvune: the Windows side did not end in time; it was killed\n");
    // Anything it started in its group goes with it.
    ::kill(-pid_, SIGKILL);
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    close(fromChild_);
    fromChild_ = -1;
    pid_ = -1;
    unsetenv("TARVUNE_BRIDGE_PID");
}

}  // namespace rexxrun
