// Holds docs/protocol.md to the code: every example block must be the bytes the library
// builds for it, and every cipher vector must be what the cipher makes.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "ProtocolExamples.h"
#include "protocol/PasswordCipher.h"

using namespace oskel::protocol::examples;

namespace {
std::string readDoc()
{
    std::ifstream in(OSKEL_PROTOCOL_DOC);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// label -> hex text of each "<!-- example: label (...) -->" block.
std::map<std::string, std::string> docExamples(const std::string& doc)
{
    std::map<std::string, std::string> out;
    const std::regex block(R"(<!-- example: ([a-z-]+) \(\d+ bytes\) -->\n```hex\n([0-9a-f \n]*)```)");
    for (auto it = std::sregex_iterator(doc.begin(), doc.end(), block); it != std::sregex_iterator(); ++it)
        out[(*it)[1]] = (*it)[2];
    return out;
}
} // namespace

TEST(ProtocolDoc, every_example_matches_the_code)
{
    const std::string doc = readDoc();
    ASSERT_FALSE(doc.empty()) << OSKEL_PROTOCOL_DOC;
    const auto inDoc = docExamples(doc);
    const auto fromCode = wireExamples();
    for (const auto& e : fromCode) {
        const auto it = inDoc.find(e.name);
        ASSERT_NE(it, inDoc.end()) << "docs/protocol.md lacks the example " << e.name;
        EXPECT_EQ(it->second, hexDump(e.bytes)) << e.name;
    }
    EXPECT_EQ(inDoc.size(), fromCode.size()) << "docs/protocol.md has examples the code does not build";
}

TEST(ProtocolDoc, cipher_vectors_match_the_code)
{
    const std::string doc = readDoc();
    for (const auto& v : cipherVectors()) {
        const std::string row =
            "| `" + v.plain + "` | " + std::to_string(v.plain.size()) + " | `" + v.cipherText + "` |";
        EXPECT_NE(doc.find(row), std::string::npos) << "missing row: " << row;
        EXPECT_EQ(oskel::protocol::decipherText(v.cipherText), v.plain);
    }
}
