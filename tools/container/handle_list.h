#pragma once
// Every handle this process holds, as the system lists them.

#include <string>

// One entry a handle, separated by blanks: "<value>:<type>:<access>", the
// value and the granted access in hexadecimal, the type as the system names
// it (File, Process, Key, ...), then ":inherit" for a handle a child would
// inherit, as every handle inherited from the parent is. "unknown" when the
// system gives no list.
std::string DescribeOwnHandles();
