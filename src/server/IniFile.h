#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oskel::server {

// A small INI reader/writer that keeps section names literally ("[Server Info]", with
// its blank) and the order of sections and keys. Keys compare without regard to ASCII
// case, as INI readers do; values are taken as they stand, trimmed of blanks.
class IniFile {
public:
    static IniFile parse(std::string_view text);
    // nullopt when the file cannot be read.
    static std::optional<IniFile> load(const std::string& path);

    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    void set(std::string_view section, std::string_view key, std::string_view value);
    // Sets every value of `other`, keeping the keys only this file has.
    void merge(const IniFile& other);

    std::string text() const;
    // Writes through a temporary file and a rename, so a crash never leaves half a file.
    bool save(const std::string& path) const;

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    Section* find(std::string_view section);
    const Section* find(std::string_view section) const;

    std::vector<Section> sections_;
};

} // namespace oskel::server
