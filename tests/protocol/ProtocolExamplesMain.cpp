// Prints the examples of docs/protocol.md in the form the document holds them.
#include <cstdio>

#include "ProtocolExamples.h"

int main()
{
    using namespace oskel::protocol::examples;
    for (const auto& e : wireExamples())
        std::printf("<!-- example: %s (%zu bytes) -->\n```hex\n%s```\n\n", e.name.c_str(), e.bytes.size(),
                    hexDump(e.bytes).c_str());
    for (const auto& v : cipherVectors())
        std::printf("| `%s` | %zu | `%s` |\n", v.plain.c_str(), v.plain.size(), v.cipherText.c_str());
    return 0;
}
