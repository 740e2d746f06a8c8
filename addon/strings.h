// strings.h -- identifiers of the add-on's string table. Result-code texts
// stand under the code's own number (1 to 21).
#pragma once

#define STRING_HOST_ENTRY_MISSING 22
#define STRING_HOST_NOT_LOADED 23
