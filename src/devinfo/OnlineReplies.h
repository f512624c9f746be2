#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reading the replies of the maker's web services. Both readers take any text
// a server (or something posing as one) may send.

// One element of the software list's "result" array. A member that is
// present but not a string reads as the empty text.
struct SoftListEntry {
  bool hasSoftType = false;
  // The string value; a number as its integer part in decimal, with
  // softTypeIsNumber set; any other type gives the empty text.
  std::string softType;
  bool softTypeIsNumber = false;
  std::optional<std::string> version;
  std::optional<std::string> softPackageName;
  std::optional<std::string> downloadLink;
};

// The elements of the reply's "result" array, in order. False when the reply
// is not JSON, or "result" is missing, not an array or empty.
bool parseSoftList(std::string_view reply, std::vector<SoftListEntry>& entries);

// The text between the first <tag> and the first </tag> after it, with the
// predefined entities (&amp; &lt; &gt; &quot; &apos;) and character references
// (&#38; &#x26;) decoded. A tag counts only at a position greater than 0, as
// the service never starts its reply with one. False when either is missing,
// a character reference is malformed, or the decoded text holds a control
// character.
bool soapTagText(std::string_view reply, std::string_view tag, std::string& out);
