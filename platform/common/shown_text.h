// shown_text.h - texts from shared segments, records and files made safe to
// show on a terminal or write to a log: one decoder for every tool and the
// service's log.
//
// ShowText escapes what could drive a terminal, break a line or reorder what
// is shown: C0 control bytes (\n, \t, \xNN), DEL (\x7f), the C1 controls
// (\u0080..\u009f), the bidirectional controls (U+061C, U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069 as \uXXXX) and bytes that are not valid
// UTF-8 (\xNN). With escapeBackslash a backslash becomes \\ so that the
// result reads back unambiguously (tables); messages leave it, so that paths
// such as C:\Orvale\ read as they are written.
//
// ReadShownText is the inverse of ShowText(text, true): the form that 'ovnode
// get' and 'list' print and 'set --escaped' reads back. It takes \\, \n, \t,
// \xNN (any byte) and \uXXXX (a code point other than a surrogate, written
// as UTF-8); any other backslash is refused with the reason in *error. So
// ReadShownText(ShowText(t, true)) gives t back, byte for byte.
//
// Pure functions without state; callable from any thread. Only
// ReadShownText fails, on a malformed escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string ShowText(const std::string& text, bool escapeBackslash = false);
bool ReadShownText(const std::string& shown, std::string* text, std::string* error);
// True when ShowText would change the text (backslashes aside): a check that
// allocates nothing, for the log's common case of plain text.
bool TextNeedsShowing(const char* text);
// Code points escaped although they are valid UTF-8: the C1 controls and the
// controls that reorder text on screen (json_text.h escapes the same).
bool HiddenCodePoint(uint32_t cp);
// Length of the valid UTF-8 sequence at s[i] (i < s.size()), or 0; *cp gets
// its code point.
size_t Utf8SequenceLength(const std::string& s, size_t i, uint32_t* cp);
