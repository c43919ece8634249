// settings_lists: writes the installers' lists of settings from the settings
// table, so that a setting added to the table reaches the MSI and the kit
// without another edit, and their registration of the event source from the
// list beside it (event_source.h). Runs on the build machine.
//
//   settings_lists wix TEMPLATE OUTPUT [OMITTED_VALUE_NAME]
//   settings_lists kit TEMPLATE OUTPUT
//   settings_lists kit-uninstall TEMPLATE OUTPUT
//
// A template line that holds only a marker ("@SETTING_...@" and
// "@EVENT_SOURCE_...@" for the MSI, "@SETTINGS@" and "@EVENT_SOURCE@" for the
// kit, "@EVENT_SOURCE_REMOVAL@" for its removal) is replaced by the generated
// lines, indented as the marker was. An omitted value builds an older package
// for tests.
#include "event_source.h"
#include "registry_schema.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool isDword(const setting_row &row)
{
    return row.type != SETTING_TEXT;
}

// The public property that sets a value on the msiexec command line.
std::string propertyOf(const setting_row &row)
{
    std::string property;
    for (const char *p = row.name; *p != '\0'; p++)
        property += (char)toupper((unsigned char)*p);
    return property;
}

std::string defaultValue(const setting_row &row)
{
    return isDword(row) ? std::to_string(row.number) : row.text;
}

// What a new installation writes, in the installer's formatted syntax.
std::string installedValue(const setting_row &row)
{
    return row.installed != NULL ? row.installed : defaultValue(row);
}

// A default as MSI formatted text: brackets and braces stand for themselves.
std::string msiInstalledValue(const setting_row &row)
{
    if (row.installed != NULL)
        return row.installed;
    std::string formatted;
    for (char c : defaultValue(row)) {
        if (strchr("[]{}", c) != NULL)
            formatted += std::string("[\\") + c + "]";
        else
            formatted += c;
    }
    return formatted;
}

// XML text for a formatted value. wixl drops every "$" of its input, so a "$"
// is written as the property KVD_DOLLAR, which the build adds to the package.
std::string xmlEscaped(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '$': escaped += "[KVD_DOLLAR]"; break;
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The installers' value prefix: a formatted "#N" is written as a DWORD.
std::string typedValue(const setting_row &row, const std::string &value)
{
    return isDword(row) ? "#" + value : value;
}

typedef std::vector<std::string> lines;

struct wix_lists {
    lines properties;   // searches for the values already set
    lines actions;      // the value of each setting: default, kept, given
    lines sequence;
    lines values;       // the registry rows
};

// Three immediate actions per setting, in order, after the folders are
// known: the installed value, then a value already set (KEPT rows only),
// then a value given on the command line.
wix_lists wixLists(const std::string &omitted)
{
    wix_lists lists;
    int sequence = 1001;
    for (const setting_row &row : SETTINGS) {
        if (omitted == row.name)
            continue;
        std::string property = propertyOf(row);
        std::string value = "VALUE_" + property;
        std::string kept = "KEPT_" + property;
        std::string attributes = "Root=\"HKLM\" Key=\"" + xmlEscaped(row.key) + "\" Name=\"" + row.name + "\"";
        struct step {
            std::string id, formatted, condition;
        };
        std::vector<step> steps;
        steps.push_back({"install_" + property, typedValue(row, msiInstalledValue(row)), ""});
        if (row.install == INSTALL_KEPT) {
            lists.properties.push_back("<Property Id=\"" + kept + "\"><RegistrySearch Id=\"find_" + property + "\" "
                                       + attributes + " Type=\"raw\" Win64=\"$(var.Win64)\"/></Property>");
            steps.push_back({"keep_" + property, "[" + kept + "]", kept});
        }
        steps.push_back({"give_" + property, typedValue(row, "[" + property + "]"), property});
        for (const step &s : steps) {
            lists.actions.push_back("<CustomAction Id=\"" + s.id + "\" Property=\"" + value + "\" Value=\""
                                    + xmlEscaped(s.formatted) + "\" Execute=\"immediate\"/>");
            lists.sequence.push_back("<Custom Action=\"" + s.id + "\" Sequence=\"" + std::to_string(sequence++)
                                     + "\">" + s.condition + "</Custom>");
        }
        lists.values.push_back("<RegistryValue " + attributes + " Type=\"string\" Value=\"[" + value + "]\"/>");
    }
    return lists;
}

// The event source's registration: an immediate action per value (the
// installer's "#%" and "#" prefixes make an expandable string and a DWORD),
// its registry rows, and the key's removal with the package.
wix_lists wixEventSource()
{
    wix_lists lists;
    int sequence = 1392;   // after the installation folder is known
    for (const event_source_value &value : EVENT_SOURCE_VALUES) {
        std::string property = "EVENT_SOURCE_" + std::string(value.name);
        for (char &c : property)
            c = (char)toupper((unsigned char)c);
        std::string prefix = value.type == REG_EXPAND_SZ ? "#%" : "#";
        lists.actions.push_back("<CustomAction Id=\"set_" + property + "\" Property=\"" + property + "\" Value=\""
                                + xmlEscaped(prefix + value.value) + "\" Execute=\"immediate\"/>");
        lists.sequence.push_back("<Custom Action=\"set_" + property + "\" Sequence=\"" + std::to_string(sequence++)
                                 + "\"/>");
        lists.values.push_back("<RegistryValue Root=\"HKLM\" Key=\"" + xmlEscaped(EVENT_SOURCE_KEY) + "\" Name=\""
                               + value.name + "\" Type=\"string\" Value=\"[" + property + "]\"/>");
    }
    lists.actions.push_back("<CustomAction Id=\"remove_event_source\" Property=\"KVD_REG_EXE\" ExeCommand=\"delete "
                            "&quot;HKLM\\" + xmlEscaped(EVENT_SOURCE_KEY) + "&quot; /f\" Execute=\"deferred\" "
                            "Impersonate=\"no\" Return=\"ignore\"/>");
    lists.sequence.push_back("<Custom Action=\"remove_event_source\" Sequence=\"3003\">REMOVE~=\"ALL\" AND NOT "
                             "UPGRADINGPRODUCTCODE</Custom>");
    return lists;
}

// The kit's commands that register the event source.
lines kitEventSource()
{
    lines commands;
    for (const event_source_value &value : EVENT_SOURCE_VALUES) {
        std::string data = replaced(value.value, "[INSTALLDIR]", "%KVD_HOME%\\");
        commands.push_back(std::string("reg add \"HKLM\\") + EVENT_SOURCE_KEY + "\" /v " + value.name + " /t "
                           + (value.type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : "REG_DWORD") + " /d \"" + data
                           + "\" /f >nul");
        commands.push_back("if errorlevel 1 goto failed");
    }
    return commands;
}

std::string kitKeyOf(const setting_row &row)
{
    std::string key = row.key;
    if (key == KVD_POPCTL_KEY)
        return "%POPCTL%";
    if (key == KVD_UPCALL_KEY)
        return "%UPCALL%";
    return "%MAIN%";
}

// The kit's command that writes a setting; KEPT rows only when not set yet.
bool kitLine(const setting_row &row, std::string *line)
{
    std::string value = replaced(installedValue(row), "[INSTALLDIR]", "%KVD_HOME%\\");
    value = replaced(value, "[WindowsFolder]", "%SystemRoot%\\");
    std::string bare = replaced(replaced(value, "%KVD_HOME%", ""), "%SystemRoot%", "");
    if (bare.find_first_of("%\"[]") != std::string::npos) {
        std::cerr << "settings_lists: the kit cannot write the value of " << row.name << "\n";
        return false;
    }
    std::string routine = std::string(row.install == INSTALL_KEPT ? "setting_" : "") + (isDword(row) ? "dword" : "string");
    *line = "call :" + routine + " \"" + kitKeyOf(row) + "\" " + row.name + " \"" + value + "\"";
    return true;
}

bool readLines(const std::string &path, lines *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "settings_lists: cannot read " << path << "\n";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out->push_back(line);
    }
    return true;
}

// Replaces each marker line by its list; every marker must be used once.
bool expand(const lines &tmpl, const std::vector<std::pair<std::string, lines>> &lists, const std::string &lineEnd,
            const std::string &path)
{
    std::ostringstream text;
    size_t markersFound = 0;
    for (const std::string &line : tmpl) {
        size_t indent = line.find_first_not_of(' ');
        std::string content = indent == std::string::npos ? "" : line.substr(indent);
        bool isMarker = false;
        for (const auto &list : lists) {
            if (content != list.first)
                continue;
            isMarker = true;
            markersFound++;
            for (const std::string &generated : list.second)
                text << std::string(indent, ' ') << generated << lineEnd;
        }
        if (!isMarker)
            text << line << lineEnd;
    }
    if (markersFound != lists.size()) {
        std::cerr << "settings_lists: the template lacks a marker\n";
        return false;
    }
    std::ofstream out(path, std::ios::binary);
    out << text.str();
    return (bool)out;
}

// Every row needs a value for new installations and a property of its own.
bool tableIsInstallable()
{
    for (size_t i = 0; i < SETTING_COUNT; i++) {
        const setting_row &row = SETTINGS[i];
        if (row.installed == NULL && row.type == SETTING_TEXT && row.text == NULL) {
            std::cerr << "settings_lists: " << row.name << " has no value for new installations\n";
            return false;
        }
        for (size_t j = 0; j < i; j++) {
            if (propertyOf(SETTINGS[j]) == propertyOf(row)) {
                std::cerr << "settings_lists: " << row.name << " and " << SETTINGS[j].name << " share a property\n";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::cerr << "usage: settings_lists wix|kit|kit-uninstall TEMPLATE OUTPUT [OMITTED_VALUE_NAME]\n";
        return 1;
    }
    std::string mode = argv[1];
    lines tmpl;
    if (!tableIsInstallable() || !readLines(argv[2], &tmpl))
        return 1;
    if (mode == "wix") {
        wix_lists lists = wixLists(argc > 4 ? argv[4] : "");
        wix_lists source = wixEventSource();
        return expand(tmpl,
                      {{"@SETTING_PROPERTIES@", lists.properties},
                       {"@SETTING_ACTIONS@", lists.actions},
                       {"@SETTING_SEQUENCE@", lists.sequence},
                       {"@SETTING_VALUES@", lists.values},
                       {"@EVENT_SOURCE_ACTIONS@", source.actions},
                       {"@EVENT_SOURCE_SEQUENCE@", source.sequence},
                       {"@EVENT_SOURCE_VALUES@", source.values}},
                      "\n", argv[3])
                   ? 0
                   : 1;
    }
    if (mode == "kit") {
        lines commands;
        for (const setting_row &row : SETTINGS) {
            std::string line;
            if (!kitLine(row, &line))
                return 1;
            commands.push_back(line);
        }
        bool written = expand(tmpl, {{"@SETTINGS@", commands}, {"@EVENT_SOURCE@", kitEventSource()}}, "\r\n", argv[3]);
        return written ? 0 : 1;
    }
    if (mode == "kit-uninstall") {
        lines removal = {std::string("reg delete \"HKLM\\") + EVENT_SOURCE_KEY + "\" /f >nul 2>&1"};
        return expand(tmpl, {{"@EVENT_SOURCE_REMOVAL@", removal}}, "\r\n", argv[3]) ? 0 : 1;
    }
    std::cerr << "settings_lists: unknown list " << mode << "\n";
    return 1;
}
