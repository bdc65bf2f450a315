// public_names.h - the one list of the names this system shows the world:
// the files of its retain directory, the nodes it publishes and the settings
// it reads by name, the kinds of save and load in its status, the metrics
// 'ovnode metrics' prints and the signals that end the service with a save.
//
// Each name comes from the table the code itself uses (retain/file_names.h,
// the publication tables and kSettingsReadByName of variables/variables.h,
// kStatusKindNames of status/status_segment.h, kEndingSignals of
// common/event_signals.h); the metric families are defined here, and
// 'ovnode metrics' prints them from this table. 'ovnode --print-names'
// prints the list, so the README and the man pages are checked against
// what the programs use (tests/docs).
//
// Constant tables and a function without state: any thread. Nothing fails.
#pragma once

#include <string>
#include <vector>

struct MetricFamilyInfo {
    const char* Name;  // full, ovretain_ included
    const char* Type;  // gauge or counter
    const char* Help;
};

// The families ovnode metrics prints, in the order it prints them.
inline constexpr MetricFamilyInfo kMetricUp = {"ovretain_up", "gauge", "1 when the retain service is running, else 0."};
inline constexpr MetricFamilyInfo kMetricPaused = {"ovretain_paused", "gauge",
                                                   "1 while the service runs with Run 0: its triggers wait."};
inline constexpr MetricFamilyInfo kMetricBuildInfo = {"ovretain_build_info", "gauge",
                                                      "Always 1; the version of the ovnode that read the record."};
inline constexpr MetricFamilyInfo kMetricStartTime = {
    "ovretain_start_time_seconds", "gauge", "When the service last started, in seconds since the Unix epoch."};
inline constexpr MetricFamilyInfo kMetricOperations = {
    "ovretain_operations_total", "counter", "Saves and loads since the service started, by kind and outcome."};
inline constexpr MetricFamilyInfo kMetricLastStartTime = {
    "ovretain_last_start_time_seconds", "gauge",
    "When the last operation of the kind started, in seconds since the Unix epoch."};
inline constexpr MetricFamilyInfo kMetricLastDuration = {"ovretain_last_duration_seconds", "gauge",
                                                         "How long the last operation of the kind took."};
inline constexpr MetricFamilyInfo kMetricLastSuccess = {
    "ovretain_last_success", "gauge", "1 when the last operation of the kind succeeded, 0 when it failed."};
inline constexpr MetricFamilyInfo kMetricJournalPeriod = {"ovretain_journal_period_seconds", "gauge",
                                                          "The change journal's period; 0 while the journal is off."};
inline constexpr MetricFamilyInfo kMetricJournalBytes = {
    "ovretain_journal_bytes", "gauge", "Length of the change journal appended to; 0 while there is none."};
inline constexpr MetricFamilyInfo kMetricJournalAppends = {
    "ovretain_journal_appends_total", "counter", "Groups of changed values appended to the journal since the start."};
inline constexpr MetricFamilyInfo kMetricJournalCompactions = {
    "ovretain_journal_compactions_total", "counter", "Journals started afresh by a full save since the start."};
inline constexpr MetricFamilyInfo kMetricJournalLastAppend = {
    "ovretain_journal_last_append_time_seconds", "gauge",
    "When the last group was appended to the journal, in seconds since the Unix epoch."};
inline constexpr MetricFamilyInfo kMetricRetainFilePresent = {"ovretain_retain_file_present", "gauge",
                                                              "1 when the retain file exists."};
inline constexpr MetricFamilyInfo kMetricRetainFileSize = {"ovretain_retain_file_size_bytes", "gauge",
                                                           "Size of the retain file."};
inline constexpr MetricFamilyInfo kMetricRetainFileModified = {
    "ovretain_retain_file_modified_time_seconds", "gauge",
    "When the retain file was last written, in seconds since the Unix epoch."};
inline constexpr MetricFamilyInfo kMetricRetainFileVerified = {
    "ovretain_retain_file_verified", "gauge",
    "1 when the retain file is the one its check record lists, 0 when it is not (damaged)."};
inline constexpr MetricFamilyInfo kMetricRetainFileHeaderMatch = {
    "ovretain_retain_file_header_match", "gauge",
    "1 when the retain file's header matches the layout of the node space."};
inline constexpr MetricFamilyInfo kMetricArchiveUp = {"ovretain_archive_up", "gauge", "1 while ovretain-archive runs."};
inline constexpr MetricFamilyInfo kMetricArchiveLastSuccess = {
    "ovretain_archive_last_success_timestamp_seconds", "gauge",
    "When the archive last stored something in the object store, in seconds since the Unix epoch."};
inline constexpr MetricFamilyInfo kMetricArchivePending = {
    "ovretain_archive_pending_bytes", "gauge", "Bytes of the retain file and journal not yet in the object store."};
inline constexpr MetricFamilyInfo kMetricArchiveUploads = {"ovretain_archive_uploads_total", "counter",
                                                           "Objects stored by the archive since it started."};
inline constexpr MetricFamilyInfo kMetricArchiveErrors = {
    "ovretain_archive_errors_total", "counter", "Failed requests to the object store since the archive started."};
inline constexpr const MetricFamilyInfo* kMetricFamilies[] = {&kMetricUp,
                                                              &kMetricPaused,
                                                              &kMetricBuildInfo,
                                                              &kMetricStartTime,
                                                              &kMetricOperations,
                                                              &kMetricLastStartTime,
                                                              &kMetricLastDuration,
                                                              &kMetricLastSuccess,
                                                              &kMetricJournalPeriod,
                                                              &kMetricJournalBytes,
                                                              &kMetricJournalAppends,
                                                              &kMetricJournalCompactions,
                                                              &kMetricJournalLastAppend,
                                                              &kMetricRetainFilePresent,
                                                              &kMetricRetainFileSize,
                                                              &kMetricRetainFileModified,
                                                              &kMetricRetainFileVerified,
                                                              &kMetricRetainFileHeaderMatch,
                                                              &kMetricArchiveUp,
                                                              &kMetricArchiveLastSuccess,
                                                              &kMetricArchivePending,
                                                              &kMetricArchiveUploads,
                                                              &kMetricArchiveErrors};

// One public name and what it names: file, node (published by the
// service), setting (read by name, the user's to create), status_kind,
// metric or signal.
struct PublicName {
    const char* Kind;
    std::string Name;
};

std::vector<PublicName> PublicNames();
