// open.cpp -- (being written)
