/* extract.rex -- extracts every item of a ZIP archive under a folder, with
   its directories, attributes and times.
   Usage: extract.rex ARCHIVE [FOLDER [PASSWORD]]
   FOLDER defaults to the current one. An item that fails is named with the
   add-on's text, and the exit code is then 1. */
parse arg archive folder password
if archive = '' then do
  say 'usage: extract.rex ARCHIVE [FOLDER [PASSWORD]]'
  exit 2
end

zipErr = 'NUM'                        /* failures come back as result codes */
if password == '' then err = UNZIPOPEN('zip', archive)
else err = UNZIPOPEN('zip', archive, 'FILE', password)
if err \== '' then do
  say archive':' UNZIPERRMSG(err)
  exit 1
end
/* The add-on makes the folders on an item's path at its backslashes, so the
   folder is given with backslashes too (/tmp/out works as \tmp\out). */
folder = translate(folder, '\', '/')
if folder \== '' then call UNZIPSETROOTDIR zip, folder   /* tail 0 starts with it */

call UNZIPFINDITEM zip, 'count'
failed = 0
do i = 1 to count
  err = UNZIPSETCURRENTITEM(zip, 'item.', i)
  if err \== '' then do
    say 'failed    item' i':' UNZIPERRMSG(err)
    failed = failed + 1
    iterate
  end
  err = UNZIPGETITEM(zip, item.0)     /* to the file named by tail 0 */
  if err == '' then say 'extracted' item.0
  else do
    say 'failed   ' item.0':' UNZIPERRMSG(err)
    failed = failed + 1
  end
end
call UNZIPCLOSE zip

if failed > 0 then say failed 'of' count 'items failed'
exit failed > 0
