// What the decoders use of the history beyond LLModal's members.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal {

// The history entry a streamed answer grows, kept at hand between chunks so
// that each chunk is not looked up again.
class AnswerEntry {
public:
    // Once per stream, as the line loop binds what it calls: whether
    // add_message and message_latest are this module's own.
    void bind(nb::handle self);
    // Does what `self.add_message(role=role, content=content)` would do when
    // that is to continue the kept entry: add_message and message_latest are
    // this module's own, `role` is MessageRole.assistant, nothing is being
    // retried, and the kept entry is still the history's last assistant
    // entry with content.  False, with nothing done, otherwise.
    bool extend(nb::handle self, nb::handle role, nb::handle content);
    // After an ordinary add_message: keeps the history's last entry.
    void remember(nb::handle self);
    int traverse(visitproc visit, void *arg) const;

private:
    bool still_last(nb::handle self, nb::handle role, nb::handle content, nb::object &versions) const;

    nb::object entry_;
    bool own_ = false;
};

// Called at import with quorvel.message's Message: its `latest` getter is
// the one whose rendering the history renders inline.
void remember_latest_getter(nb::handle message_class);

// What `self._message_process(message)` returns, as its two texts instead of
// a dict; for callers that know _message_process is this module's own and
// `message` an exact dict.  `own_add_tool_calls`: the caller knows that
// self._add_tool_calls is this module's own too (decided once per stream).
void message_texts(nb::handle self, nb::handle message, nb::object &reasoning, nb::object &content,
                   bool own_add_tool_calls = false);

}  // namespace qv::modal
