// variables.h - the service's published variables: the three publication
// tables, node naming and the accessors the other modules use.
//
// Publication runs once, on the main thread, at start-up; afterwards each
// row's Index is fixed. Accessors go through the node-space library and may
// be called from any thread; reads preset their buffer to 0, so a failed read
// yields 0. A row whose Index is 0 addresses no node: its setters change
// nothing and its getters read 0. Nothing here reports a failure, except
// CreateVariable's flag.
#pragma once

#include <cstddef>
#include <cstdint>

// One row of a publication table; a row with a null Name ends the table.
struct VariableDescriptor {
    const char* Name;
    uint32_t Type;
    uintptr_t Default;  // numeric default, or for type 12 the address of the default text
    bool Create;
    const char* Text1;
    const char* Text2;
    uint32_t Index;
};

extern VariableDescriptor StatusTable[];
extern VariableDescriptor ConfigurationTable[];
extern VariableDescriptor TriggerTable[];

// The settings read by name that stand in no table: the user's nodes, never
// created by the service (an absent one reads 0). Short is the name
// MakeNodeName takes, Node the full name for readers that must not use its
// shared buffer (other threads); one literal forms both. The list of public
// names (service/public_names.h) gives them to the documents' check.
struct SettingName {
    const char* Short;
    const char* Node;
};
#define OVRT_SETTING_NAME(name)        \
    SettingName {                      \
        name, "SERVICE.OvRetain." name \
    }
constexpr SettingName kAutoRunSetting = OVRT_SETTING_NAME("AutoRun");
constexpr SettingName kAutoLoadSetting = OVRT_SETTING_NAME("AutoLoad");
constexpr SettingName kAutoSaveSetting = OVRT_SETTING_NAME("AutoSave");
constexpr SettingName kJournalSetting = OVRT_SETTING_NAME("Journal");
constexpr SettingName kMigrateSetting = OVRT_SETTING_NAME("Migrate");
constexpr SettingName kKeepOldSetting = OVRT_SETTING_NAME("KeepOld");
#undef OVRT_SETTING_NAME
constexpr const SettingName* const kSettingsReadByName[] = {&kAutoRunSetting, &kAutoLoadSetting, &kAutoSaveSetting,
                                                            &kJournalSetting, &kMigrateSetting,  &kKeepOldSetting};

// Rows of the tables, for the modules that need a row's Index.
enum StatusRow { STATUS_ROW, ERROR_ROW, RUN_ROW, LIVE_ROW, SAVECOUNT_ROW, LOADCOUNT_ROW };
enum ConfigurationRow { PRIORITY_ROW, INTERVAL_ROW, USEBACKUP_ROW, OUTPATH_ROW };
enum TriggerRow { SAVE_ROW, LOAD_ROW };
// The status rows that only the service writes and that it writes as it
// runs (Live at every poll): the change journal leaves them out.
constexpr size_t kUnjournaledRowCount = 5;
extern const StatusRow kUnjournaledRows[kUnjournaledRowCount];

const char* ContainerName();
// Forms "SERVICE.<container>.<name>" in the shared 128-byte name buffer and
// returns it, or returns nullptr when the full name would not fit.
const char* MakeNodeName(const char* name);
void PublishTable(VariableDescriptor* table);
void PublishConfiguration();
void PublishStatus();
bool CreateVariable(const char* fullName, uint32_t type, uintptr_t defaultValue, const char* text1, const char* text2);
bool VariableExists(const char* fullName);
uint32_t VariableIndex(const char* fullName);
uint32_t TypeSize(uint32_t type);

void SetStatus(uint32_t value);
void SetError(uint32_t value);  // Error is a 1-byte node: writes the low byte
void SetRun(uint32_t value);
uint8_t GetRun();
void IncrementLive();
void IncrementSaveCount();
void IncrementLoadCount();
uint8_t GetUseBackup();
uint32_t GetPriority();
uint32_t GetInterval();
const char* GetOutPath();
// The bytes GetOutPath reads, its terminating zero included: the node's text
// is cut to kOutPathRead - 1 characters.
constexpr unsigned kOutPathRead = 80;
// The length of the OutPath node's whole text (it may be longer than what
// GetOutPath reads when the node was made larger); 0 when it cannot be read.
size_t OutPathNodeLength();
uint8_t GetAutoRun();
uint8_t GetMigrate();
// SERVICE.OvRetain.AutoLoad (1 byte, preset 0); never created.
uint8_t GetAutoLoad();
// SERVICE.OvRetain.AutoSave, read by name (4 bytes, preset 0); never
// created. Callable from any thread.
uint32_t GetAutoSave();
// SERVICE.OvRetain.Journal, read by name the same way (4 bytes, preset 0).
uint32_t GetJournal();

// Writes a value of the service's own (a status variable, counter or
// trigger) by index and counts it; index 0 writes nothing. Every write the
// service makes to its own variables goes through here.
void WriteOwnValue(uint32_t index, const void* value, uint16_t size);
// The node space's write generation less the service's own writes: it grows
// when anybody else writes a value or creates a node. Two readings equal:
// nothing but the service's own variables was written in between. A reading
// taken while another thread of the service writes may come out one low,
// never high, so a comparison may see a change that was the service's own
// but never misses one. The load's writes are not the service's own: they
// count as changes.
uint64_t ChangeMark();
// As ChangeMark, but only the writes to kUnjournaledRows are left out (a
// trigger's reset counts as a change): two readings equal, the journal has
// nothing to take.
uint64_t JournalChangeMark();

// Makes the next creation of the named variable's node (name without the
// container prefix) fail as a refusal by the library would; nullptr clears
// it. Publication has no other failure a test can bring about at will.
void InjectCreateFaultForTest(const char* name);

// Restores the module's start-up state (indices 0, counters 0, empty OutPath
// buffer). For tests that publish into several node spaces.
void ResetVariablesForTest();
