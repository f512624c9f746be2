#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Every byte as two lower-case hexadecimal digits, no separator (55aaf0f8).
std::string toHexString(const uint8_t* bytes, size_t count);
