// Request-wide globals: what every handler needs to know about the request
// being served (command, method, browser kind, host).  One request per
// process, so these are process-wide; request_reset() restores the state of
// a fresh process for tests that run many requests in one process.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

struct Request {
    std::string gcmd;           // command being dispatched (at most 511 characters)
    int g_ispost = 0;           // REQUEST_METHOD is "post"
    int gcl = 0;                // query came from the command line (-query)
    std::string cl_query;       // the -query value
    std::string g_server;       // SERVER_NAME
    std::string g_vhost;        // virtual-host name, lower case, at most 255 characters
    std::string g_dserver;      // "domain=%s; " for Set-cookie lines, or empty
    int g_server_port = 0;
    std::string g_http = "http://";
    std::string guser_agent;    // HTTP_USER_AGENT, lower case
    std::string remote_addr;    // REMOTE_ADDR, lower case
    int gwml = 0;               // pages are WML
    std::string gbr = "<br>";   // line break in generated messages
    int xoutlog = 0;
    int glog_send = 0;
    int xfetch_min = 200;
    int pid = 0;
    std::string log_file = "tollan.log";
    std::string rootname;
    std::string path_script;
    std::string method;         // REQUEST_METHOD, lower case
    std::string program_path;   // argv[0]
    std::vector<std::string> tool_args;   // the words after a command-line tool's option ("-spell")
    std::string config_path;    // the path given to ini_read (argv[0] or -ini)
    FILE* mystdin = stdin;      // request body: standard input, or dump.in on replay
    int ui_changed = 0;         // the profile changed and must be written at the finish
    int isframe = 0;
    int xisframes = 0;
    std::string utoken;         // session token text
    int contdone = 0;           // response header written
    int done_pcmd = 0;          // a chained "process" command has run
    int nodump = 0;             // replaying dump files
};

extern Request g;

void request_reset();
