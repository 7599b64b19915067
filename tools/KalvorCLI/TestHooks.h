#pragma once

// Behaviour that tests switch on through the environment:
//
//   KALVORCLI_RECORD=<file>              append one line per run to <file>: a JSON object
//                                        {"argv0": ..., "args": [...], "argsHex": [...], "cwd": ...,
//                                        "pid": ...}, the arguments after the program name as
//                                        received (decoded as UTF-8, and their bytes in hex)
//   KALVORCLI_HELPER_MS=<n>              leave a helper process behind that holds standard
//                                        output and error open for n milliseconds; it adds
//                                        {"helper": pid} to the record file
//   KALVORCLI_DELAY_MS=<n>               sleep n milliseconds before anything else is written
//   KALVORCLI_STDERR=<text>              write text to standard error (\n, \r, \t, \\ escapes)
//   KALVORCLI_STDERR_BYTES=<n>           write n bytes of filler lines to standard error
//   KALVORCLI_STDOUT=<text>              write text to standard output (same escapes)
//   KALVORCLI_STDOUT_UNBROKEN_BYTES=<n>  then write n bytes of filler without any line break
//                                        to standard output
//   KALVORCLI_HANG=<mode>                after the writes above, never end: "wait" ends on SIGTERM,
//                                        "ignore-term" only on SIGKILL
//   KALVORCLI_EXIT_CODE=<n>              skip the action and exit with n after the writes above
//   KALVORCLI_TRAILING_STDOUT_BYTES=<n>  last of all (after the action's output, or after the
//                                        text above when the action is skipped), write n bytes
//                                        of filler lines to standard output
//   KALVORCLI_FINAL_DELAY_MS=<n>         sleep n milliseconds after everything else, before exiting
//   KALVORCLI_SCHEMES_FILE=<file>        schemes for "select", replacing the built-in list
//
// They run in this order: record, helper, delay, standard-error text, standard-error
// filler, standard-output text, unbroken filler, hang, the action (unless the exit code is
// forced), trailing filler, final delay.

#include <cstdio>
#include <optional>
#include <string>

namespace kalvorcli {

void RecordArguments(int argc, char** argv);
void LeaveHelperIfAsked();
void DelayIfAsked();
void HangIfAsked();
// Writes the environment's texts and filler for standard error and the text for standard output.
void WriteLeadingOutput();
std::optional<int> ForcedExitCode();
void WriteTrailingOutput();
void FinalDelayIfAsked();

// Replaces the escapes \n, \r, \t and \\ by the characters they name.
std::string Unescape(const std::string& text);
// Writes `bytes` bytes of printable filler lines, or of one unbroken line.
void WriteFiller(std::FILE* stream, long long bytes, bool lineBreaks = true);

} // namespace kalvorcli
