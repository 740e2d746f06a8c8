// decode.cpp -- (being written)
