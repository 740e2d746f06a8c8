// source.cpp -- (being written)
