/* extract_all.rexx -- extracts every item of an archive under a folder.
   Argument: ARCHIVE;FOLDER[;PASSWORD] (Windows paths). Exit code 0 when
   every item was written, else the failing result code. */
parse arg archive ';' root ';' password
zipErr = 'NUM'                                   /* failures come back as codes */

if password == '' then err = UNZIPOPEN('zip', archive, 'FILE')
else err = UNZIPOPEN('zip', archive, 'FILE', password)
if err \== '' then do
  say 'open' archive':' UNZIPERRMSG(err)
  exit err
end
err = UNZIPSETROOTDIR(zip, root)
if err \== '' then do
  say 'root' root':' UNZIPERRMSG(err)
  exit err
end
call UNZIPFINDITEM zip, 'count'
do i = 1 to count
  err = UNZIPSETCURRENTITEM(zip, 'item.', i)
  if err == '' then err = UNZIPGETITEM(zip, item.0)
  if err \== '' then do
    say 'item' i':' UNZIPERRMSG(err)
    exit err
  end
end
call UNZIPCLOSE zip
say count 'items extracted'
exit 0
