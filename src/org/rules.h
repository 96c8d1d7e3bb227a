// Filter rules: run on each message as it is fetched into the inbox (move,
// copy, forward, delete on a header or body match), the rule log shown on
// the next page, the rule rows of the settings page and their saving.
// The rule table is prof.rules (the profile owns it); its index is the
// rule number.
#pragma once
#include <string>
#include <string_view>
#include <vector>

constexpr int kMaxRules = 1000;
// Rows the settings form may add beyond the existing rules in one save.
constexpr int kRuleRowsExtra = 10;
constexpr std::size_t kRuleLogMax = 9999;
// Messages remembered as handled by the rules (oldest forgotten first).
constexpr std::size_t kRulesDoneMax = 5000;

// Runs the rules on the record at this position of the inbox (the loaded
// index); 1 when evaluation ended normally, 0 when an action failed.
int do_rules(int pos);
// 1 when the message file holds the text (headers included).
int body_find(const std::string& path, const std::string& text, int casef);
// Appends a line to the rule log (and to the diagnostic log when the
// "log" setting holds "rules").  The text must already be page-safe.
void rule_err(const std::string& text);
// Publishes the rule log as the template variable "rule_log".
void rule_set();
const std::string& rule_log();

// The addresses that are the user's own: login, From list, reply
// addresses; bare and lower case.
std::vector<std::string> own_addresses();
// 1 when a forward to this address could come back to the user.
int is_own_address(std::string_view address);

// Reads the rule rows of the settings form into prof.rules.
void rules_save_form();

// The translated action and header names (index 0 is "no rule/action").
const std::vector<std::string>& ract_names();
const std::vector<std::string>& rhdr_names();

void rules_reset();
// The translated names of the rule actions and headers, set at start-up.
void ract_init(const char* const* names, int n);
void rhdr_init(const char* const* names, int n);
// The rule rows of the settings page (the renderer's rules block).
void tpl_show_rules(const std::string& block);
