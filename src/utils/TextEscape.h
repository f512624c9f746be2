#pragma once
#include <string>
#include <string_view>

// Escaping for texts that go into the bodies and URLs of the web services, and
// into the manual pages. A plain alphanumeric text comes out unchanged.

// Contents of a JSON string literal (without the quotation marks): '"', '\'
// and every control character are escaped; other bytes, UTF-8 included, pass.
std::string jsonEscape(std::string_view text);

// XML character data or attribute value: & < > " ' become entity references.
// Control characters below 0x20 other than tab, line feed and carriage return
// are dropped: XML 1.0 cannot carry them, not even as character references.
std::string xmlEscape(std::string_view text);

// A query-string value: every byte but the unreserved ones (letters, digits,
// '-', '.', '_', '~') becomes %XX with upper-case hexadecimal digits.
std::string urlEncode(std::string_view text);

// Manual-page (roff) text: '-' becomes the minus an option is typed with, a
// backslash prints as itself, and a line starting with '.' or an apostrophe is
// not read as a request.
std::string roffEscape(std::string_view text);
