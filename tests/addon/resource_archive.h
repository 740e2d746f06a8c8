// resource_archive.h -- the archive compiled into the add-on tests as an
// RT_RCDATA resource: its identifier, and what make_resource_archive.py puts in it.
#pragma once

#define RESOURCE_ARCHIVE_ID 101

#ifdef __cplusplus
const unsigned RESOURCE_ARCHIVE_ENTRIES = 2;
// The first entry: this line 40 times, deflated.
const char RESOURCE_GREETING_LINE[] = "Hello from the resource archive.\r\n";
const unsigned RESOURCE_GREETING_REPEATS = 40;
#endif
