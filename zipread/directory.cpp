// directory.cpp -- (being written)
