/* outcomes.rex -- what a script sees of the add-on through Regina: values
   with ZIPERR unset and 'NUM', host errors and raised conditions as SYNTAX 40
   that the script catches and goes on from, binary and 16 MiB variables,
   names in any case, a value larger than the bridge carries, and the
   Windows side killed mid-script.
   Usage: outcomes.rex SAMPLE BYTES HUGE FOLDER
     SAMPLE  the sample archive (docs/readme.txt, secret/plans.txt under the
             password 'tarvune')
     BYTES   an archive with every-byte.bin (the 256 byte values) and
             big.bin (those, 65,536 times: 16 MiB)
     HUGE    an archive with huge.bin (1 GiB and 64 MiB, stored) and
             after.txt ("the call after")
     FOLDER  an empty folder to extract into
   Prints one line per failed check and "checks failed: N" at the end. */
parse arg sample bytes huge folder
failures = 0
checks = 0

/* ZIPERR unset: the text; 'NUM': the code. */
drop zipErr
call check "UNZIPOPEN('h', 'no such.zip')", "Can't create/open file"
zipErr = 'num'
call check "UNZIPOPEN('h', 'no such.zip')", 1
call check "UNZIPERRMSG(19)", 'Password is incorrect'

/* Names reach the script's own variables whatever their case. */
call check "UNZIPOPEN('Zip', sample, 'FILE', 'tarvune')", ''
call check "datatype(ZIP, 'W')", 1
call UNZIPFINDITEM zip, 'Count'
call check "count > 5", 1
call UNZIPFINDITEM zip, 'Item.', 'DOCS/README.TXT', 1
call check "right(item.0, 15)", 'docs\readme.txt'
call check "UNZIPGETITEM(zip, 'text', 'MEMORY')", ''
call check "left(text, 23)", 'Tarvune sample archive.'

/* Host errors: SYNTAX 40, caught, and the script goes on. */
call UNZIPCLOSE zip
call syntax40 "UNZIPSETCURRENTITEM(zip, 's.', 1)"     /* a stale handle */
call syntax40 "UNZIPERRMSG(1, 2)"                      /* too many arguments */
call syntax40 "UNZIPOPEN('h', sample, 'DISK')"         /* not a keyword */
call check "UNZIPERRMSG(1)", "Can't create/open file"

/* Raised conditions arrive as SYNTAX 40 too (their text on standard error). */
zipErr = 'ERROR'
call syntax40 "UNZIPOPEN('h', 'no such.zip')"
zipErr = 7
call syntax40 "UNZIPOPEN('h', 'no such.zip')"
zipErr = 'NUM'
call check "UNZIPOPEN('h', 'no such.zip')", 1

/* Values of any bytes and of 16 MiB. */
call check "UNZIPOPEN('b', bytes)", ''
every = xrange('00'x, 'ff'x)
call UNZIPFINDITEM b, 'item.', 'every-byte.bin'
call check "UNZIPGETITEM(b, 'v', 'MEMORY')", ''
call check "v == every", 1
call UNZIPFINDITEM b, 'item.', 'big.bin'
call check "UNZIPGETITEM(b, 'big', 'MEMORY')", ''
call check "length(big)", 16777216
call check "big == copies(every, 65536)", 1
drop big

/* A value larger than the bridge carries: 2 for that call alone. */
call check "UNZIPOPEN('g', huge)", ''
call UNZIPFINDITEM g, 'item.', 'huge.bin'
call check "UNZIPGETITEM(g, 'v', 'MEMORY')", 2
call UNZIPFINDITEM g, 'item.', 'after.txt'
call check "UNZIPGETITEM(g, 'v', 'MEMORY')", ''
call check "v", 'the call after'
call UNZIPCLOSE g

/* The Windows side killed: a file extracted before stays, every later
   call raises SYNTAX 40. */
call check "UNZIPSETROOTDIR(b, folder)", ''
call UNZIPFINDITEM b, 'item.', 'every-byte.bin'
call check "UNZIPGETITEM(b, item.0)", ''
pid = value('TARVUNE_BRIDGE_PID', , 'ENVIRONMENT')
say 'bridge pid' pid
address system 'kill -9' pid
call syntax40 "UNZIPFINDITEM(b, 'n')"
call syntax40 "UNZIPERRMSG(1)"

say 'checks failed:' failures 'of' checks
exit failures

check: procedure expose failures checks sample bytes huge folder zip b g text big v every item. zipErr
  parse arg expression, expected
  checks = checks + 1
  interpret 'got =' expression
  if got \== expected then do
    say 'FAIL' expression 'gave' left(got, min(60, length(got))) 'expected' expected
    failures = failures + 1
  end
  return

/* The expression must raise SYNTAX 40; the script then goes on. */
syntax40:
  parse arg expression
  checks = checks + 1
  signal on syntax name caught
  interpret 'got =' expression
  signal off syntax
  say 'FAIL' expression 'returned' left(got, min(60, length(got))) 'instead of raising SYNTAX 40'
  failures = failures + 1
  return
caught:
  signal off syntax
  if rc \= 40 then do
    say 'FAIL' expression 'raised SYNTAX' rc 'instead of 40'
    failures = failures + 1
  end
  return
