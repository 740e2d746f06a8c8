/* show.rex -- reads one item of a ZIP archive into a variable and prints it.
   Usage: show.rex ARCHIVE ITEM [PASSWORD]
   ITEM is the name stored in the archive, e.g. docs/readme.txt; letter case
   is ignored. */
parse arg archive name password
if name = '' then do
  say 'usage: show.rex ARCHIVE ITEM [PASSWORD]'
  exit 2
end

zipErr = 'NUM'
if password == '' then err = UNZIPOPEN('zip', archive)
else err = UNZIPOPEN('zip', archive, 'FILE', password)
if err \== '' then do
  say archive':' UNZIPERRMSG(err)
  exit 1
end

call UNZIPFINDITEM zip, 'item.', name, 1     /* 1: ignore letter case */
if symbol('item.0') \== 'VAR' then do        /* a failed search sets nothing */
  say name':' UNZIPERRMSG(4)
  exit 1
end
err = UNZIPGETITEM(zip, 'text', 'MEMORY')     /* into the variable text */
call UNZIPCLOSE zip
if err \== '' then do
  say name':' UNZIPERRMSG(err)
  exit 1
end
call charout , text                          /* the bytes as they are */
exit 0
