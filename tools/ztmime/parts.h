// The parts of one message in tree order, collected from the reader's
// items: a part's facts are final only at its end, while its place in the
// tree is known when it begins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ztmime.h"

class JsonWriter;
class Sha256;

struct PartRecord {
    std::string path, type, charset, disposition, filename;
    int32_t encoding = 0;
    bool container = false;
    int level = 0;        // enclosing parts
    int parent = -1;      // index of the enclosing part
    int children = 0;
    uint64_t size = 0;    // decoded body bytes (leaves)
    uint64_t total = 0;   // decoded bytes of this part and every part inside it
    uint32_t problems = 0;
    std::string sha256;   // hex, leaves only, when asked for
};

class PartCollector {
public:
    explicit PartCollector(Sha256 *sha = nullptr) : sha_(sha) {}

    // Feeds one reader item.  Returns true when a message has ended.
    bool item(const ztmime_reader *r, ztmime_item it, const char *data, size_t len);

    std::vector<PartRecord> parts;
    uint32_t problems = 0;  // of every part so far
    void clear()
    {
        parts.clear();
        open_.clear();
        problems = 0;
    }

private:
    Sha256 *sha_;
    std::vector<int> open_;
};

// The facts of a part as JSON object members, in the order both JSON
// outputs use: path, type, charset, the transfer encoding when `encoding`
// is not null, disposition, filename, size (a container's: its total).
void put_part_facts(JsonWriter &w, const PartRecord &p, const char *encoding);

// Problem bits as a JSON array of their names.
void put_problems(JsonWriter &w, uint32_t problems);
