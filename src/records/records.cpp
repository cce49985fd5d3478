// Key paths: materialising path frames, copying and releasing paths; deep copies of records.
#include "records/records.h"

namespace corvane {

KeyPath KeyPath::copy() const {
    if (size() == 0) {
        return KeyPath();
    }
    KeyPath out(size());
    for (size_t i = 0; i < size(); ++i) {
        out.items_.put(i, Ref::borrow(items_[i]));
    }
    return out;
}

KeyPath materialize(const PathFrame* frame) {
    if (frame == nullptr) {
        return KeyPath();
    }
    KeyPath path(frame->depth_);
    size_t i = frame->depth_;
    for (const PathFrame* f = frame; f != nullptr; f = f->parent_) {
        Ref key = f->key_ != nullptr ? Ref::borrow(f->key_) : check(PyLong_FromUnsignedLongLong(f->index_));
        path.items_.put(--i, std::move(key));
    }
    return path;
}

void path_steps(const PathFrame* frame, std::vector<std::pair<PyObject*, uint64_t>>& steps) {
    steps.assign(frame == nullptr ? 0 : frame->depth_, {nullptr, 0});
    size_t i = steps.size();
    for (const PathFrame* f = frame; f != nullptr; f = f->parent_) {
        steps[--i] = {f->key_, f->index_};
    }
}

namespace {

template <class Record>
Record copy_pair(const Record& rec) {
    return Record(rec.path.copy(), rec.first.copy(), rec.second.copy());
}

}  // namespace

DictDiff copy_record(const DictDiff& rec) { return copy_pair(rec); }
ValChange copy_record(const ValChange& rec) { return copy_pair(rec); }
TypeAndValChange copy_record(const TypeAndValChange& rec) { return copy_pair(rec); }
IterLenMismatch copy_record(const IterLenMismatch& rec) {
    return IterLenMismatch{rec.path.copy(), rec.a_len, rec.b_len};
}

}  // namespace corvane
