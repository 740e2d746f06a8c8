/* select.rex -- selection from a REXX loop through the bridge: SETCURRENTITEM
   over every item of an archive in order, each call filling the item stem.
   For scale, the same number of calls that do next to nothing on the
   Windows side (UNZIPERRMSG: one round trip, no variables), and the bare
   loop. Each figure is the best of three rounds.
   Usage: select.rex ARCHIVE        (run by bench/run.sh on many.zip) */
parse arg archive
zipErr = 'NUM'
err = UNZIPOPEN('zip', archive)
if err \== '' then do
  say archive':' UNZIPERRMSG(err)
  exit 1
end
call UNZIPFINDITEM zip, 'count'

select = 1e9; trip = 1e9; loop = 1e9
do round = 1 to 3
  call time 'R'
  do i = 1 to count
    err = UNZIPSETCURRENTITEM(zip, 'item.', i)
    if err \== '' then do
      say 'item' i':' UNZIPERRMSG(err)
      exit 1
    end
  end
  select = min(select, time('E'))
  if item.1 = '' | item.6 = '' then do
    say 'the stem of item' count 'is not filled'
    exit 1
  end

  call time 'R'
  do i = 1 to count
    x = UNZIPERRMSG(1)
  end
  trip = min(trip, time('E'))

  call time 'R'
  do i = 1 to count
    x = i
  end
  loop = min(loop, time('E'))
end
call UNZIPCLOSE zip

call row 'SETCURRENTITEM 1 to N in order, stem filled', select
call row 'UNZIPERRMSG, one bare round trip', trip
call row 'the REXX loop alone', loop
say '  round trip share of a selection:' format(100 * (trip - loop) / (select - loop), , 0)'%'
exit 0

row: procedure expose count
  parse arg what, seconds
  say '  'left(what, 44) 'N =' right(count, 6) right(format(seconds * 1000, , 1), 10) 'ms',
      right(format(seconds * 1e6 / count, , 2), 8) 'us each'
  return
