// entryinfo.cpp -- (being written)
