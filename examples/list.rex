/* list.rex -- lists every item of a ZIP archive: the tails of its item stem
   as a table, one row an item.
   Usage: list.rex ARCHIVE [PASSWORD] */
parse arg archive password
if archive = '' then do
  say 'usage: list.rex ARCHIVE [PASSWORD]'
  exit 2
end

zipErr = 'NUM'                        /* failures come back as result codes */
if password == '' then err = UNZIPOPEN('zip', archive)
else err = UNZIPOPEN('zip', archive, 'FILE', password)
if err \== '' then do
  say archive':' UNZIPERRMSG(err)
  exit 1
end

call UNZIPFINDITEM zip, 'count'       /* no name: the number of items */
say archive':' count 'items'
say right('#', 4) right('size', 10) right('packed', 10) right('attrs', 5),
    left('modified (UTC)', 17) left('accessed (UTC)', 17) left('created (UTC)', 17) 'path'
failed = 0
do i = 1 to count
  err = UNZIPSETCURRENTITEM(zip, 'item.', i)
  if err \== '' then do
    say right(i, 4) UNZIPERRMSG(err)
    failed = failed + 1
    iterate
  end
  /* item.0 path under the root folder, .1 size, .2 compressed size,
     .3 Windows attributes, .4 accessed, .5 created, .6 modified */
  say right(i, 4) right(item.1, 10) right(item.2, 10) right(item.3, 5),
      item.6 item.4 item.5 item.0
end
call UNZIPCLOSE zip
exit failed > 0
