// The junk-mail introduction settings: juser.dat in the user's directory,
// shared with the separate agent that holds and reports mail, and the page
// that shows and saves them ("jconf", "savejconf").
#pragma once
#include <string>
#include <vector>

struct JIntroHeader {
    std::string text;
    int a = 0, b = 0, c = 0;
};

struct JUser {
    std::string smtp_address;
    long last_check = 0;
    int check_mins = 60;
    long last_report = 0;
    int report_days = 5;
    int hold_days = 5;
    int hostiles_removed = 0;
    int current_held = 0;
    int intros_sent = 0;
    int report_id = 0;
    int offer_id = 0;
    std::vector<std::string> offer, mpoh, report, nir, nirm, ifoa;
    std::vector<std::string> friend_, gen_friend, hostile, gen_hostile;
    std::vector<JIntroHeader> intro_header;
    // Lines whose keys this program does not know: the agent may use them,
    // so they are written back after the known ones.
    std::vector<std::string> unknown;
    bool changed = false;
};

std::string juser_file(const std::string& user);
std::string juser_default();

void juser_init(JUser& j);
void juser_clear(JUser& j);
// 1 when the file was read; 0 when it could not be opened (errno tells why).
int juser_read(JUser& j, const std::string& path);
// Writes a new file beside the old one and renames it over; 1 on success
// (also when nothing changed).
int juser_write(JUser& j, const std::string& path, const std::string& writer);

int f_jconf(int reset);
int r_jconf();
