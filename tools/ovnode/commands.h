// commands.h - the ovnode commands, run on a parsed, checked command line.
//
// Each writes its result to `out`, one line naming a problem to `err`, and
// returns an exit status of cli.h. Called from one thread at a time.
#pragma once

#include <iosfwd>

#include "ovnode/cli.h"

namespace ovnode {

int CommandCreate(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandSet(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandGet(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandList(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandLoadLayout(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandService(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandNotify(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandCatalog(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandDestroy(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandRetainDump(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandStatus(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandMetrics(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandSave(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandLoad(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandRetainRestore(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandRetainDiff(const Invocation& inv, std::ostream& out, std::ostream& err);
int CommandArchive(const Invocation& inv, std::ostream& out, std::ostream& err);

// A text as a JSON string literal, quotes included: common/json_text.h
// (controls escaped; a byte that is not valid UTF-8 as \udcXX).
std::string JsonString(const std::string& text);

}  // namespace ovnode
