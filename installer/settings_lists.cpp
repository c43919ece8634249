// settings_lists: writes the installers' lists of settings and the Group
// Policy template from the settings table, so that a setting added to the
// table reaches the MSI, the kit and the template without another edit, the
// installers' registration with the logon process from the registration
// table, and that of the event source from the list beside it
// (event_source.h). Runs on the build machine.
//
//   settings_lists wix TEMPLATE OUTPUT [OMITTED_VALUE_NAME]
//   settings_lists kit TEMPLATE OUTPUT
//   settings_lists kit-uninstall TEMPLATE OUTPUT
//   settings_lists adm TEMPLATE OUTPUT
//
// A template line that holds only a marker ("@SETTING_...@",
// "@REGISTRATION_...@" and "@EVENT_SOURCE_...@" for the MSI, "@SETTINGS@",
// "@REGISTRATION@" and "@EVENT_SOURCE@" for the kit, "@REGISTRATION_REMOVAL@"
// and "@EVENT_SOURCE_REMOVAL@" for its removal, "@POLICIES@" and "@STRINGS@"
// for the template) is replaced by the generated lines, indented as the marker
// was. An omitted value builds an older package for tests.
#include "event_source.h"
#include "registry_schema.h"

#include <algorithm>
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

// A key of the package's own, deleted by reg.exe as SYSTEM when the package is
// removed (not when an upgrade removes the older package).
static void addKeyRemoval(wix_lists *lists, const std::string &id, const char *key, int sequence)
{
    lists->actions.push_back("<CustomAction Id=\"" + id + "\" Property=\"KVD_REG_EXE\" ExeCommand=\"delete &quot;HKLM\\"
                             + xmlEscaped(key) + "&quot; /f\" Execute=\"deferred\" Impersonate=\"no\" Return=\"ignore\"/>");
    lists->sequence.push_back("<Custom Action=\"" + id + "\" Sequence=\"" + std::to_string(sequence)
                              + "\">REMOVE~=\"ALL\" AND NOT UPGRADINGPRODUCTCODE</Custom>");
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
    addKeyRemoval(&lists, "remove_event_source", EVENT_SOURCE_KEY, 3003);
    return lists;
}

// The logon process's registration (the registration table): its values
// written as they stand, an expandable string through an immediate action,
// and the removal of the notification key, which is the package's own (of
// the shared Run key only the value goes, with its component).
wix_lists wixRegistration()
{
    wix_lists lists;
    for (const registration_value &row : REGISTRATION_VALUES) {
        std::string attributes = "Root=\"HKLM\" Key=\"" + xmlEscaped(row.key) + "\" Name=\"" + row.name + "\"";
        std::string keyPath = lists.values.empty() ? " KeyPath=\"yes\"" : "";
        if (row.type == REG_DWORD) {
            lists.values.push_back("<RegistryValue " + attributes + " Type=\"integer\" Value=\"" + row.value + "\"" + keyPath + "/>");
            continue;
        }
        std::string value = xmlEscaped(row.value);
        if (row.type == REG_EXPAND_SZ) {
            std::string property = "REGISTRATION_" + std::string(row.name);
            for (char &c : property)
                c = (char)toupper((unsigned char)c);
            lists.actions.push_back("<CustomAction Id=\"set_" + property + "\" Property=\"" + property + "\" Value=\"#%"
                                    + value + "\" Execute=\"immediate\"/>");
            lists.sequence.push_back("<Custom Action=\"set_" + property + "\" Sequence=\"1390\"/>");
            value = "[" + property + "]";
        }
        lists.values.push_back("<RegistryValue " + attributes + " Type=\"string\" Value=\"" + value + "\"" + keyPath + "/>");
    }
    addKeyRemoval(&lists, "remove_notify", NOTIFY_KEY, 3002);
    return lists;
}

// The kit's commands that register the package with the logon process. reg
// takes a quote in its data as \".
lines kitRegistration()
{
    static const char *const TYPES[] = {"", "REG_SZ", "REG_EXPAND_SZ", "", "REG_DWORD"};
    lines commands;
    for (const registration_value &row : REGISTRATION_VALUES) {
        std::string data = replaced(replaced(row.value, "[INSTALLDIR]", "%KVD_HOME%\\"), "\"", "\\\"");
        commands.push_back(std::string("reg add \"HKLM\\") + row.key + "\" /v " + row.name + " /t " + TYPES[row.type]
                           + " /d \"" + data + "\" /f >nul");
        commands.push_back("if errorlevel 1 goto failed");
    }
    return commands;
}

// The uninstaller's: the notification key, and the value in the shared Run key.
lines kitRegistrationRemoval()
{
    lines commands = {std::string("reg delete \"HKLM\\") + NOTIFY_KEY + "\" /f >nul 2>&1"};
    for (const registration_value &row : REGISTRATION_VALUES) {
        if (strcmp(row.key, NOTIFY_KEY) != 0)
            commands.push_back(std::string("reg delete \"HKLM\\") + row.key + "\" /v " + row.name + " /f >nul 2>&1");
    }
    return commands;
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

// ---- the Group Policy template (ADM, as the XP and Server 2003 editors read it) ----

// A policy's value in the editor: a check box for a switch (a FLAG, or a
// NUMBER from 0 to 1), a drop-down list for a NUMBER whose values have
// meanings, a number box, or an edit box for a TEXT.
enum adm_part { ADM_CHECKBOX, ADM_DROPDOWN, ADM_NUMERIC, ADM_EDITTEXT };

adm_part admPartOf(const setting_row &row)
{
    if (row.type == SETTING_TEXT)
        return ADM_EDITTEXT;
    if (row.choices != NULL)
        return ADM_DROPDOWN;
    return row.lowest == 0 && row.highest == 1 ? ADM_CHECKBOX : ADM_NUMERIC;
}

std::vector<std::string> choicesOf(const setting_row &row)
{
    std::vector<std::string> choices;
    std::istringstream in(row.choices != NULL ? row.choices : "");
    for (std::string choice; std::getline(in, choice, '|');)
        choices.push_back(choice);
    return choices;
}

// What the edit box of a TEXT offers: the value new installations write
// when it is literal (the remaining-logons message with its count), else
// the default; empty: none.
std::string admTextDefault(const setting_row &row)
{
    if (row.installed != NULL && strchr(row.installed, '[') == NULL)
        return row.installed;
    return row.text != NULL ? row.text : "";
}

std::string admDefault(const setting_row &row)
{
    if (row.type == SETTING_TEXT)
        return admTextDefault(row).empty() ? "" : "'" + admTextDefault(row) + "'";
    std::string number = std::to_string(row.number);
    if (admPartOf(row) == ADM_DROPDOWN)
        return number + " (" + choicesOf(row)[row.number - row.lowest] + ")";
    return admPartOf(row) == ADM_CHECKBOX ? number + (row.number != 0 ? " (checked)" : " (cleared)") : number;
}

std::string admValues(const setting_row &row)
{
    switch (admPartOf(row)) {
    case ADM_CHECKBOX: return "Checked writes 1, cleared writes 0.";
    case ADM_EDITTEXT: return "A text.";
    case ADM_NUMERIC:
        return "From " + std::to_string(row.lowest)
               + (row.highest == ANY_NUMBER ? " on." : " to " + std::to_string(row.highest) + ".");
    case ADM_DROPDOWN: break;
    }
    std::string values;
    std::vector<std::string> choices = choicesOf(row);
    for (size_t i = 0; i < choices.size(); i++)
        values += (i > 0 ? ", " : "") + std::to_string(row.lowest + i) + " = " + choices[i];
    return values + ".";
}

std::string admExplain(const setting_row &row)
{
    std::string registryType = isDword(row) ? "REG_DWORD" : "REG_SZ";
    std::string explain = std::string(row.meaning) + ".\\n\\nValue " + row.name + " (" + registryType + ") under HKLM\\"
                          + row.policyKey + ". " + admValues(row) + "\\n";
    std::string byDefault = admDefault(row);
    explain += byDefault.empty() ? "No default: without a value, what needs it does not run.\\n"
                                 : "Default: " + byDefault + ".\\n";
    if (row.installed != NULL && !(row.type == SETTING_TEXT && admTextDefault(row) == row.installed)) {
        std::string installed = replaced(row.installed, "[INSTALLDIR]", "<program folder>\\");
        explain += "New installations write " + replaced(installed, "[WindowsFolder]", "<Windows folder>\\") + ".\\n";
    }
    return explain + "\\nA policy value wins over the machine's own value (HKLM\\" + row.key + ", ntfcfg -" + row.option
           + ", installer property " + propertyOf(row) + "); not configured or disabled, the machine's own value applies.";
}

struct adm_lists {
    lines policies;
    lines strings;
};

void admPolicy(const setting_row &row, const std::string &in, adm_lists *adm)
{
    std::string id = row.name;
    static const char *const PART_TYPES[] = {"CHECKBOX", "DROPDOWNLIST NOSORT", "NUMERIC", "EDITTEXT REQUIRED"};
    adm_part part = admPartOf(row);
    lines &out = adm->policies;
    out.push_back(in + "POLICY !!" + id);
    out.push_back(in + "    EXPLAIN !!" + id + "_Explain");
    out.push_back(in + "    PART !!" + id + "_Part " + PART_TYPES[part]);
    out.push_back(in + "        VALUENAME \"" + id + "\"");
    if (part == ADM_CHECKBOX) {
        out.push_back(in + "        VALUEON NUMERIC 1");
        out.push_back(in + "        VALUEOFF NUMERIC 0");
        if (row.number != 0)
            out.push_back(in + "        DEFCHECKED");
    } else if (part == ADM_NUMERIC) {
        out.push_back(in + "        MIN " + std::to_string(row.lowest) + " MAX " + std::to_string(row.highest)
                      + " DEFAULT " + std::to_string(row.number));
    } else if (part == ADM_DROPDOWN) {
        out.push_back(in + "        ITEMLIST");
        std::vector<std::string> choices = choicesOf(row);
        for (size_t i = 0; i < choices.size(); i++) {
            DWORD value = row.lowest + (DWORD)i;
            std::string choiceId = id + "_" + std::to_string(value);
            out.push_back(in + "            NAME !!" + choiceId + " VALUE NUMERIC " + std::to_string(value)
                          + (value == row.number ? " DEFAULT" : ""));
            adm->strings.push_back(choiceId + "=\"" + std::to_string(value) + " " + choices[i] + "\"");
        }
        out.push_back(in + "        END ITEMLIST");
    } else if (!admTextDefault(row).empty()) {
        out.push_back(in + "        DEFAULT !!" + id + "_Default");
        adm->strings.push_back(id + "_Default=\"" + admTextDefault(row) + "\"");
    }
    out.push_back(in + "    END PART");
    out.push_back(in + "END POLICY");
    adm->strings.push_back(id + "=\"" + row.meaning + "\"");
    adm->strings.push_back(id + "_Part=\"" + id + "\"");
    adm->strings.push_back(id + "_Explain=\"" + admExplain(row) + "\"");
}

// A category per policy key, with its policies and then the categories of
// its subkeys.
void admCategory(const std::string &key, const std::vector<std::string> &keys, const std::string &in,
                 adm_lists *adm)
{
    std::string leaf = key.substr(key.rfind('\\') + 1);
    adm->policies.push_back(in + "CATEGORY !!Category_" + leaf);
    adm->policies.push_back(in + "    KEYNAME \"" + key + "\"");
    adm->strings.push_back("Category_" + leaf + "=\"" + leaf + "\"");
    for (const setting_row &row : SETTINGS) {
        if (key == row.policyKey)
            admPolicy(row, in + "    ", adm);
    }
    for (const std::string &sub : keys) {
        if (sub.rfind(key + "\\", 0) == 0 && sub.find('\\', key.size() + 1) == std::string::npos)
            admCategory(sub, keys, in + "    ", adm);
    }
    adm->policies.push_back(in + "END CATEGORY");
}

adm_lists admLists()
{
    std::vector<std::string> keys;
    for (const setting_row &row : SETTINGS) {
        if (std::find(keys.begin(), keys.end(), row.policyKey) == keys.end())
            keys.push_back(row.policyKey);
    }
    adm_lists adm;
    for (const std::string &key : keys) {
        std::string parent = key.substr(0, key.rfind('\\'));
        if (std::find(keys.begin(), keys.end(), parent) == keys.end())
            admCategory(key, keys, "", &adm);
    }
    return adm;
}

// The template's strings hold no double quote; a number's default and
// choices fit its range.
bool tableFitsTemplate()
{
    for (const setting_row &row : SETTINGS) {
        std::string texts = std::string(row.meaning) + admTextDefault(row) + (row.choices ? row.choices : "");
        bool fits = texts.find('"') == std::string::npos && row.lowest <= row.highest
                    && (row.type == SETTING_TEXT || (row.number >= row.lowest && row.number <= row.highest))
                    && (row.choices == NULL || choicesOf(row).size() == row.highest - row.lowest + 1);
        if (!fits) {
            std::cerr << "settings_lists: the template cannot hold " << row.name << "\n";
            return false;
        }
    }
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
        std::cerr << "usage: settings_lists wix|kit|kit-uninstall|adm TEMPLATE OUTPUT [OMITTED_VALUE_NAME]\n";
        return 1;
    }
    std::string mode = argv[1];
    lines tmpl;
    if (!tableIsInstallable() || !readLines(argv[2], &tmpl))
        return 1;
    if (mode == "wix") {
        wix_lists lists = wixLists(argc > 4 ? argv[4] : "");
        wix_lists source = wixEventSource();
        wix_lists registration = wixRegistration();
        return expand(tmpl,
                      {{"@REGISTRATION_ACTIONS@", registration.actions},
                       {"@REGISTRATION_SEQUENCE@", registration.sequence},
                       {"@REGISTRATION_VALUES@", registration.values},
                       {"@SETTING_PROPERTIES@", lists.properties},
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
        bool written = expand(tmpl,
                              {{"@SETTINGS@", commands},
                               {"@REGISTRATION@", kitRegistration()},
                               {"@EVENT_SOURCE@", kitEventSource()}},
                              "\r\n", argv[3]);
        return written ? 0 : 1;
    }
    if (mode == "kit-uninstall") {
        lines removal = {std::string("reg delete \"HKLM\\") + EVENT_SOURCE_KEY + "\" /f >nul 2>&1"};
        return expand(tmpl, {{"@EVENT_SOURCE_REMOVAL@", removal}, {"@REGISTRATION_REMOVAL@", kitRegistrationRemoval()}},
                      "\r\n", argv[3])
                   ? 0
                   : 1;
    }
    if (mode == "adm") {
        if (!tableFitsTemplate())
            return 1;
        adm_lists adm = admLists();
        return expand(tmpl, {{"@POLICIES@", adm.policies}, {"@STRINGS@", adm.strings}}, "\r\n", argv[3]) ? 0 : 1;
    }
    std::cerr << "settings_lists: unknown list " << mode << "\n";
    return 1;
}
