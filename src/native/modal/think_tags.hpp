// Reasoning written into the answer text: local servers and several hosted
// reasoning models open their answer with `<think>...</think>` instead of
// sending a reasoning field.  With the `think_tags` setting on, what lies
// between the two tags at the start of an answer is reasoning, the rest the
// answer.
//
// The answer arrives in pieces (stream chunks, or one whole text), and a tag
// may be cut anywhere between two pieces, so the splitter holds back the few
// characters that could still become a tag and decides when the next piece (or
// the end) shows what they are.  Only the start of an answer is looked at:
// once answer text has been given out, every later piece passes unchanged.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal {

class ThinkTags {
public:
    // What one piece (or the end) gives: each a str, or a null object when
    // that part is empty.
    struct Split {
        nb::object reasoning, content;
    };

    // The next piece of answer text.  Anything but a str passes as content.
    Split feed(nb::handle text);

    // The end of the answer: what was held back.  An answer that opened
    // <think> and never closed it is all reasoning.
    Split finish();

private:
    enum class State {
        opening,  // only blanks so far, or the start of "<think>"
        inside,   // between the tags
        after,    // past "</think>": blanks before the answer are dropped
        answer,   // answer text, passed as it comes
    };

    Split scan(nb::object text);

    State state_ = State::opening;
    nb::object held_;  // text that may still be part of a tag (or null)
};

}  // namespace qv::modal
