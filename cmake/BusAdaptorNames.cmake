# Run with -DHEADER=<generated adaptor header>: bus argument names may contain blanks
# ("Hardware address"), which the generator copies into C++ parameter names; join them with "_".
file(READ "${HEADER}" text)
string(REGEX REPLACE "&([A-Za-z0-9_]+) ([A-Za-z0-9_]+)([,)])" "&\\1_\\2\\3" text "${text}")
file(WRITE "${HEADER}" "${text}")
