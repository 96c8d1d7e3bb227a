// What the support library needs from the program that uses it, handed in
// as plain functions: where its log lines go, the translation of its
// user-facing messages, and the few settings its helpers obey.  Until a
// sink is given, nothing is logged, texts stay as written and every
// setting is unset.
#pragma once
#include <string>
#include <string_view>

#define LK_PRINTF(a, b) __attribute__((format(printf, a, b)))

enum SupportLogLevel { kSupError, kSupInfo, kSupFileError };

struct SupportSink {
    void (*log)(SupportLogLevel level, const char* text) = nullptr;
    const char* (*translate)(const char* text) = nullptr;
    // The value of a site setting by its key name ("" when unset).
    std::string (*setting)(std::string_view name) = nullptr;
    // The path of a file in the work area.
    std::string (*work_path)(std::string_view name) = nullptr;
    // The page being written is WML.
    bool (*wml)() = nullptr;
};

void support_set_sink(const SupportSink& sink);

void sup_log(SupportLogLevel level, const char* fmt, ...) LK_PRINTF(2, 3);
const char* sup_tr(const char* text);
std::string sup_setting(std::string_view name);
bool sup_true(std::string_view name);   // "true" in any case, or "1"
std::string sup_work_path(std::string_view name);
bool sup_wml();
