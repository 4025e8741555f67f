// Shows bytes as readable text.
#pragma once

#include <string>

// Line feed as \n, carriage return as \r, a backslash as \\, every other
// control character or byte that is not printable ASCII as \xNN.
std::string escapeBytes(const std::string& bytes);
