// The list of public names, gathered from the tables that use them.
#include "service/public_names.h"

#include "common/event_signals.h"
#include "retain/file_names.h"
#include "status/status_segment.h"
#include "variables/variables.h"

std::vector<PublicName> PublicNames() {
    std::vector<PublicName> names;
    for (const char* file : kRetainDirFileNames) names.push_back({"file", file});
    for (const VariableDescriptor* table : {StatusTable, ConfigurationTable, TriggerTable})
        for (const VariableDescriptor* row = table; row->Name; ++row)
            names.push_back({"node", std::string("SERVICE.") + ContainerName() + "." + row->Name});
    for (const SettingName* setting : kSettingsReadByName) names.push_back({"setting", setting->Node});
    for (const char* kind : kStatusKindNames) names.push_back({"status_kind", kind});
    for (const MetricFamilyInfo* family : kMetricFamilies) names.push_back({"metric", family->Name});
    for (const EndingSignal& signal : kEndingSignals) names.push_back({"signal", signal.Name});
    return names;
}
