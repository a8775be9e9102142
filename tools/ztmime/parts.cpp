#include "parts.h"

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
