#include "parts.h"

#include "json_writer.h"
#include "messages.h"
#include "sha256.h"

bool PartCollector::item(const ztmime_reader *r, ztmime_item it, const char *data, size_t len)
{
    switch (it) {
    case ZTMIME_ITEM_PART: {
        PartRecord rec;
        rec.level = static_cast<int>(open_.size());
        rec.parent = open_.empty() ? -1 : open_.back();
        if (rec.parent >= 0)
            ++parts[static_cast<size_t>(rec.parent)].children;
        open_.push_back(static_cast<int>(parts.size()));
        parts.push_back(std::move(rec));
        if (sha_)
            sha_->reset();
        break;
    }
    case ZTMIME_ITEM_DATA:
        if (sha_)
            sha_->update(data, len);
        break;
    case ZTMIME_ITEM_PART_END: {
        if (open_.empty())
            break;
        PartRecord &rec = parts[static_cast<size_t>(open_.back())];
        open_.pop_back();
        const ztmime_part_info *p = ztmime_reader_part(r);
        rec.path = p->path;
        rec.type = p->content_type;
        rec.charset = p->charset;
        rec.disposition = p->disposition;
        rec.filename = p->filename;
        rec.encoding = p->encoding;
        rec.container = p->container != 0;
        rec.size = p->size;
        rec.total += p->size;
        rec.problems = p->problems;
        problems |= p->problems;
        if (rec.parent >= 0)
            parts[static_cast<size_t>(rec.parent)].total += rec.total;
        if (sha_ && !rec.container)
            rec.sha256 = sha_->hex();
        break;
    }
    case ZTMIME_ITEM_MESSAGE_END:
        return true;
    default:
        break;
    }
    return false;
}

void put_part_facts(JsonWriter &w, const PartRecord &p, const char *encoding)
{
    w.key("path");
    w.value(p.path);
    w.key("type");
    w.value(p.type);
    w.key("charset");
    w.value(p.charset);
    if (encoding) {
        w.key("encoding");
        w.value(encoding);
    }
    w.key("disposition");
    w.value(p.disposition);
    w.key("filename");
    w.value(p.filename);
    w.key("size");
    w.value(p.container ? p.total : p.size);
}

void put_problems(JsonWriter &w, uint32_t problems)
{
    w.begin_array();
    for (uint32_t bit = 1; bit <= ZTMIME_PROBLEM_HEADER; bit <<= 1)
        if (problems & bit)
            w.value(problem_names(bit));
    w.end_array();
}
