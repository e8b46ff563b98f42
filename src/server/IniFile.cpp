#include "server/IniFile.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "server/UserId.h"

namespace oskel::server {

namespace {
std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}
} // namespace

IniFile IniFile::parse(std::string_view text)
{
    IniFile ini;
    Section* current = nullptr;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = trim(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            const std::string_view name = line.substr(1, line.size() - 2);
            current = ini.find(name);
            if (!current) {
                ini.sections_.push_back({std::string(name), {}});
                current = &ini.sections_.back();
            }
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || !current)
            continue;
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        ini.set(current->name, key, value);
    }
    return ini;
}

std::optional<IniFile> IniFile::load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return parse(s.str());
}

IniFile::Section* IniFile::find(std::string_view section)
{
    for (auto& s : sections_)
        if (sameUserId(s.name, section))
            return &s;
    return nullptr;
}

const IniFile::Section* IniFile::find(std::string_view section) const
{
    return const_cast<IniFile*>(this)->find(section);
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const
{
    if (const Section* s = find(section))
        for (const auto& e : s->entries)
            if (sameUserId(e.key, key))
                return e.value;
    return std::nullopt;
}

void IniFile::set(std::string_view section, std::string_view key, std::string_view value)
{
    Section* s = find(section);
    if (!s) {
        sections_.push_back({std::string(section), {}});
        s = &sections_.back();
    }
    for (auto& e : s->entries)
        if (sameUserId(e.key, key)) {
            e.value = std::string(value);
            return;
        }
    s->entries.push_back({std::string(key), std::string(value)});
}

void IniFile::merge(const IniFile& other)
{
    for (const auto& s : other.sections_)
        for (const auto& e : s.entries)
            set(s.name, e.key, e.value);
}

std::string IniFile::text() const
{
    std::string out;
    for (const auto& s : sections_) {
        if (!out.empty())
            out += "\n";
        out += "[" + s.name + "]\n";
        for (const auto& e : s.entries)
            out += e.key + "=" + e.value + "\n";
    }
    return out;
}

bool IniFile::save(const std::string& path) const
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out << text();
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace oskel::server
