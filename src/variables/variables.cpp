// variables.cpp - the publication tables, node naming and the accessors of
// the service's published variables.
#include "variables/variables.h"

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#include "nodespace/ovhgapi.h"
#include "report/report.h"

// Numeric values travel as the host's 32-bit quantities, whose low-order
// bytes come first: the node space stores values little-endian.
static_assert(std::endian::native == std::endian::little, "node values are little-endian");

namespace {

constexpr const char* kContainerName = "OvRetain";
constexpr const char* kNodeNamePrefix = "SERVICE.";
constexpr size_t kNodeNameSize = 128;
constexpr uint32_t kTextType = 12;
constexpr uint16_t kTextSize = 80;
constexpr size_t kOutPathSize = kOutPathRead;

const char kDefaultOutPath[] = "C:\\Orvale\\";

char NodeNameBuffer[kNodeNameSize];
char OutPathBuffer[kOutPathSize];

// Counted up by their accessors only (all on the Trig thread); the nodes
// receive the counters' values, they are never read back.
uint32_t LiveCounter = 0;
uint32_t SaveCounter = 0;
uint32_t LoadCounter = 0;

// Writes the service has made to its own variables (status, counters,
// triggers), counted before each write: see ChangeMark.
std::atomic<uint64_t> OwnWrites{0};
// Of those, the writes to the rows the journal leaves out (kUnjournaledRows),
// counted the same way: see JournalChangeMark.
std::atomic<uint64_t> UnjournaledWrites{0};

// Full node name whose next creation fails (tests only); empty when none.
char CreateFaultName[kNodeNameSize];

// A row's Index is set by publication on the main thread while the library's
// event thread may already use the accessors (a stop during start-up), so it
// is read and written as an atomic word.
uint32_t LoadIndex(const VariableDescriptor& row) {
    return __atomic_load_n(&row.Index, __ATOMIC_ACQUIRE);
}

void StoreIndex(VariableDescriptor* row, uint32_t index) {
    __atomic_store_n(&row->Index, index, __ATOMIC_RELEASE);
}

void WriteByIndex(const VariableDescriptor& row, const void* value, uint16_t size) {
    WriteOwnValue(LoadIndex(row), value, size);
}

void ReadByIndex(const VariableDescriptor& row, void* buffer, uint16_t size) {
    uint32_t index = LoadIndex(row);
    if (index == 0) return;  // the caller's preset 0 stands
    NodeReadValue(index, buffer, size);
}

// A write to one of kUnjournaledRows.
void WriteUnjournaled(const VariableDescriptor& row, const void* value, uint16_t size) {
    if (LoadIndex(row) != 0) UnjournaledWrites.fetch_add(1, std::memory_order_acq_rel);
    WriteByIndex(row, value, size);
}

}  // namespace

const StatusRow kUnjournaledRows[kUnjournaledRowCount] = {STATUS_ROW, ERROR_ROW, LIVE_ROW, SAVECOUNT_ROW,
                                                          LOADCOUNT_ROW};

VariableDescriptor StatusTable[] = {
    {"Status", 3, 0, true, nullptr, nullptr, 0},    {"Error", 1, 0, true, nullptr, nullptr, 0},
    {"Run", 1, 1, true, nullptr, nullptr, 0},       {"Live", 7, 0, true, nullptr, nullptr, 0},
    {"SaveCount", 7, 0, true, nullptr, nullptr, 0}, {"LoadCount", 7, 0, true, nullptr, nullptr, 0},
    {nullptr, 0, 0, false, nullptr, nullptr, 0},
};

VariableDescriptor ConfigurationTable[] = {
    {"Priority", 7, 160, true, nullptr, nullptr, 0},
    {"Interval", 7, 100, true, nullptr, nullptr, 0},
    {"UseBackup", 1, 0, true, nullptr, nullptr, 0},
    {"OutPath", kTextType, reinterpret_cast<uintptr_t>(kDefaultOutPath), true, nullptr, nullptr, 0},
    {nullptr, 0, 0, false, nullptr, nullptr, 0},
};

VariableDescriptor TriggerTable[] = {
    {"Save", 7, 0, true, nullptr, nullptr, 0},
    {"Load", 7, 0, true, nullptr, nullptr, 0},
    {nullptr, 0, 0, false, nullptr, nullptr, 0},
};

const char* ContainerName() {
    return kContainerName;
}

const char* MakeNodeName(const char* name) {
    if (name == nullptr) return nullptr;
    // "SERVICE." + container + "." + name + terminating zero must fit; a
    // name that does not is refused and the buffer is left as it was.
    size_t length = strlen(kNodeNamePrefix) + strlen(ContainerName()) + 1 + strlen(name);
    if (length >= kNodeNameSize) return nullptr;
    snprintf(NodeNameBuffer, kNodeNameSize, "%s%s.%s", kNodeNamePrefix, ContainerName(), name);
    return NodeNameBuffer;
}

uint32_t TypeSize(uint32_t type) {
    switch (type) {
        case 1:
        case 3:
            return 1;
        case 4:
        case 5:
            return 2;
        case 6:
        case 7:
            return 4;
        default:
            return 0;  // 2, 12 (text, sized apart) and unknown codes
    }
}

bool VariableExists(const char* fullName) {
    uint16_t type = 0;
    return NodeGetAttribute(fullName, "Type", &type, sizeof type) == 0;
}

uint32_t VariableIndex(const char* fullName) {
    uint32_t index = 0;
    if (NodeGetAttribute(fullName, "Index", &index, sizeof index) != 0) return 0;
    return index;
}

// A node the library would not create (the node space or /dev/shm full, the
// node space damaged): said once, as the table is cut short there.
static bool ReportCreateFailure(const char* fullName, int32_t rc) {
    report(&LogChannel, "ERR", "Node %s cannot be created: %s.", fullName, strerror(rc));
    return false;
}

bool CreateVariable(const char* fullName, uint32_t type, uintptr_t defaultValue, const char* text1, const char* text2) {
    uint32_t size = TypeSize(type);
    if (VariableExists(fullName)) return true;
    if (CreateFaultName[0] != 0 && strcmp(CreateFaultName, fullName) == 0) {
        CreateFaultName[0] = 0;
        return false;
    }
    if (text1 == nullptr) text1 = "";
    if (text2 == nullptr) text2 = "";
    if (type != kTextType) {
        if (int32_t rc = NodeCreate(fullName, static_cast<uint16_t>(type), static_cast<uint16_t>(size), text1, text2))
            return ReportCreateFailure(fullName, rc);
        // The default's low-order `size` bytes.
        uint32_t value = static_cast<uint32_t>(defaultValue);
        return NodeWriteByName(fullName, &value, static_cast<uint16_t>(size)) == 0;
    }
    // Scratch arguments the library asks for; nothing reads them afterwards.
    uint8_t scratch[32] = {};
    uint32_t scratchWord = 0;
    if (int32_t rc =
            NodeCreateString(fullName, kTextType, kTextSize, text1, text2, scratch, sizeof scratch, &scratchWord))
        return ReportCreateFailure(fullName, rc);
    // A text row without a default text starts empty.
    const char* text = reinterpret_cast<const char*>(defaultValue);
    return NodeWriteStringByName(fullName, text != nullptr ? text : "") == 0;
}

void PublishTable(VariableDescriptor* table) {
    for (VariableDescriptor* row = table; row->Name != nullptr; ++row) {
        const char* fullName = MakeNodeName(row->Name);
        if (fullName == nullptr) continue;  // name too long: not published
        if (VariableExists(fullName)) {
            // An existing node keeps its value; only its index is recorded.
            StoreIndex(row, VariableIndex(fullName));
            continue;
        }
        if (!row->Create) continue;
        if (!CreateVariable(fullName, row->Type, row->Default, row->Text1, row->Text2)) return;
        StoreIndex(row, VariableIndex(fullName));
    }
}

void PublishConfiguration() {
    PublishTable(ConfigurationTable);
}
void PublishStatus() {
    PublishTable(StatusTable);
}

void SetStatus(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value);
    WriteUnjournaled(StatusTable[STATUS_ROW], &byte, 1);
}

// Error is a type-1 node of one byte, so only the low byte of value is
// written: a wider write would be cut to that byte by the library anyway.
void SetError(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value);
    WriteUnjournaled(StatusTable[ERROR_ROW], &byte, 1);
}

void SetRun(uint32_t value) {
    uint8_t byte = static_cast<uint8_t>(value);
    WriteByIndex(StatusTable[RUN_ROW], &byte, 1);
}

uint8_t GetRun() {
    uint8_t value = 0;
    ReadByIndex(StatusTable[RUN_ROW], &value, 1);
    return value;
}

// The counters count up even when the node cannot be written.
void IncrementLive() {
    ++LiveCounter;
    WriteUnjournaled(StatusTable[LIVE_ROW], &LiveCounter, 4);
}

void IncrementSaveCount() {
    ++SaveCounter;
    WriteUnjournaled(StatusTable[SAVECOUNT_ROW], &SaveCounter, 4);
}

void IncrementLoadCount() {
    ++LoadCounter;
    WriteUnjournaled(StatusTable[LOADCOUNT_ROW], &LoadCounter, 4);
}

uint8_t GetUseBackup() {
    uint8_t value = 0;
    ReadByIndex(ConfigurationTable[USEBACKUP_ROW], &value, 1);
    return value;
}

uint32_t GetPriority() {
    uint32_t value = 0;
    ReadByIndex(ConfigurationTable[PRIORITY_ROW], &value, 4);
    return value;
}

uint32_t GetInterval() {
    uint32_t value = 0;
    ReadByIndex(ConfigurationTable[INTERVAL_ROW], &value, 4);
    return value;
}

// Not cleared before the read: a failed read leaves the previous text.
const char* GetOutPath() {
    const char* fullName = MakeNodeName(ConfigurationTable[OUTPATH_ROW].Name);
    if (fullName != nullptr) NodeReadStringByName(fullName, OutPathBuffer, kOutPathSize);
    return OutPathBuffer;
}

size_t OutPathNodeLength() {
    const char* fullName = MakeNodeName(ConfigurationTable[OUTPATH_ROW].Name);
    uint16_t size = 0;
    if (fullName == nullptr || NodeGetAttribute(fullName, "Size", &size, sizeof size) != 0 || size == 0) return 0;
    std::vector<char> text(size + 1u, '\0');
    NodeReadStringByName(fullName, text.data(), static_cast<uint16_t>(text.size() > 0xFFFF ? 0xFFFF : text.size()));
    return strnlen(text.data(), text.size());
}

// AutoRun stands in no table and is never created; absent, it reads 0.
uint8_t GetAutoRun() {
    uint8_t value = 0;
    const char* fullName = MakeNodeName(kAutoRunSetting.Short);
    if (fullName != nullptr) NodeReadByName(fullName, &value, 1);
    return value;
}

// AutoSave stands in no table and is never created; absent, it reads 0. The
// Trig thread reads it, so its name is not formed in the shared buffer.
uint32_t GetAutoSave() {
    uint32_t value = 0;
    NodeReadByName(kAutoSaveSetting.Node, &value, 4);
    return value;
}

uint32_t GetJournal() {
    uint32_t value = 0;
    NodeReadByName(kJournalSetting.Node, &value, 4);
    return value;
}

// A published index names a node for the life of the node space, so every
// counted write is one the library makes and counts in its generation.
void WriteOwnValue(uint32_t index, const void* value, uint16_t size) {
    if (index == 0) return;  // never published: there is no node to write
    // Counted before the write: a reading taken in between then sees one
    // change too few, never one too many that would hide a foreign change.
    OwnWrites.fetch_add(1, std::memory_order_acq_rel);
    NodeWriteValue(index, value, size);
}

uint64_t JournalChangeMark() {
    uint64_t generation = NodeWriteGeneration();
    return generation - UnjournaledWrites.load(std::memory_order_acquire);
}

uint64_t ChangeMark() {
    // The generation first: an own write that completes between the two
    // loads then lowers the mark instead of raising it.
    uint64_t generation = NodeWriteGeneration();
    return generation - OwnWrites.load(std::memory_order_acquire);
}

// AutoLoad, like AutoRun, is the user's to create; absent, it reads 0.
uint8_t GetAutoLoad() {
    uint8_t value = 0;
    const char* fullName = MakeNodeName(kAutoLoadSetting.Short);
    if (fullName != nullptr) NodeReadByName(fullName, &value, 1);
    return value;
}

// Migrate, like AutoRun, is the user's to create; absent, it reads 0.
uint8_t GetMigrate() {
    uint8_t value = 0;
    const char* fullName = MakeNodeName(kMigrateSetting.Short);
    if (fullName != nullptr) NodeReadByName(fullName, &value, 1);
    return value;
}

void InjectCreateFaultForTest(const char* name) {
    CreateFaultName[0] = 0;
    if (name == nullptr) return;
    snprintf(CreateFaultName, sizeof CreateFaultName, "%s%s.%s", kNodeNamePrefix, ContainerName(), name);
}

void ResetVariablesForTest() {
    CreateFaultName[0] = 0;
    VariableDescriptor* tables[] = {StatusTable, ConfigurationTable, TriggerTable};
    for (VariableDescriptor* table : tables)
        for (VariableDescriptor* row = table; row->Name != nullptr; ++row) StoreIndex(row, 0);
    LiveCounter = SaveCounter = LoadCounter = 0;
    memset(OutPathBuffer, 0, sizeof OutPathBuffer);
}
