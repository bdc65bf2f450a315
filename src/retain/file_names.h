// file_names.h - the fixed names of the files the service keeps in its
// retain directory (the one OutPath names). Each module that reads or
// writes one takes its name from here, and the list of public names
// (service/public_names.h) gives them to the documents' check, so a name
// cannot differ between the program and what it is documented as.
//
// Set-aside files (OvRetain.<seq>.<hash>.<id>.old) and layout records
// (OvRetain.<hash>.<id>.layout) are patterns, formed by set_aside.cpp and
// layout_record.cpp. Constants only: any thread.
#pragma once

constexpr const char kRetainFileName[] = "OvRetain.bin";
constexpr const char kBackupFileName[] = "OvRetain.$$$";
constexpr const char kCheckRecordName[] = "OvRetain.check";
constexpr const char kJournalFileName[] = "OvRetain.journal";
constexpr const char kClaimFileName[] = "OvRetain.lock";
constexpr const char kDefaultsRecordName[] = "OvRetain.defaults";

constexpr const char* const kRetainDirFileNames[] = {kRetainFileName,  kBackupFileName, kCheckRecordName,
                                                     kJournalFileName, kClaimFileName,  kDefaultsRecordName};
