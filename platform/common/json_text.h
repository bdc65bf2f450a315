// json_text.h - the one writer of JSON strings for every tool: texts from
// shared segments, records and files put into JSON so that what a reader
// shows is exactly what was there, and nothing in it drives a terminal or
// reorders what is shown.
//
// JsonText returns a quoted JSON string. Escaped as \uXXXX: every C0 control
// (\n, \r, \t keep their short forms), DEL, the C1 controls U+0080..U+009F
// and the bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069); '"' and '\' as \" and \\. Other valid UTF-8 passes as it
// is. A byte that is not part of valid UTF-8 (a lone 0xFF, a truncated
// sequence, an overlong form such as E0 80 AF, an encoded surrogate) becomes
// \udcXX, XX its value: a lone low surrogate, which no character and no
// valid UTF-8 text can produce, so it is never mistaken for one. Decoders
// that keep such escapes give the byte back (Python: json.loads, then
// .encode("utf-8", "surrogateescape")); strict ones refuse the string
// rather than show something else.
//
// Pure function without state; callable from any thread. Nothing fails.
#pragma once

#include <string>

std::string JsonText(const std::string& text);
