// extract.cpp -- (being written)
