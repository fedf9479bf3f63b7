#include "modal/fast_paths.hpp"

namespace qv::modal::fast {

qv::FastPath json_line{"json_line",
                       "json.loads is the standard library's own and the line holds no digit run that orjson "
                       "would round"};
qv::FastPath json_answer{"json_answer",
                         "Response.json and the json.loads it calls are the libraries' own and the body is UTF-8 "
                         "as requests would decode it"};
qv::FastPath native_lines{"native_lines", "the body's lines would be requests' own splitting of its own reads"};
qv::FastPath direct_record{"direct_record",
                           "LLMResult is the class this module built, unchanged, and the values are what "
                           "validation would keep as they are"};
qv::FastPath direct_entry{"direct_entry", "as direct_record, for Message"};
qv::FastPath kept_entry{"kept_entry",
                        "add_message and message_latest are this module's own and the entry is still the "
                        "history's last"};

qv::FastPath text_only_delta{"text_only_delta",
                             "_add_tool_calls is this module's own and the delta or message is an exact dict holding "
                             "only a text under \"content\" and perhaps a \"role\""};

qv::FastPath direct_write{"direct_write",
                          "the class keeps BaseModel.__setattr__ and pydantic has memoised its own field or "
                          "private-attribute handler for the name"};

qv::FastPath native_usage{"native_usage",
                          "quorvel.usage's hooks are its own and no collect() block is open in the running "
                          "context"};

qv::FastPath native_json{"native_json",
                         "the answer or line takes json_answer or json_line (quorvel's own parser comes first, "
                         "orjson takes what it refuses)"};

qv::FastPath kept_members{"kept_members",
                          "the module global names the class the member was read from, and neither the class "
                          "nor its metaclass has changed since (their version tags are the same)"};

qv::FastPath figures_slots{"figures_slots",
                           "the figures are of exactly quorvel.usage's _Figures class as found at start-up, which "
                           "has kept its version tag (its slots are what attribute access reads and writes)"};

qv::FastPath native_settings{"native_settings",
                             "quorvel._call_settings's functions, _transport.check_settings and Configurator's lookups "
                             "are their own and the configuration is asked about a section given as text"};

qv::FastPath native_send{"native_send",
                         "quorvel._transport's send and the steps it runs, _stoppable.Exchange (unchanged) and "
                         "_inflight's track and untrack are their own, and the call's reading holds its transport "
                         "settings"};

qv::Counter json_refused{"json_refused", "orjson refused the text: json.loads parsed it"};
qv::Counter settings_read_afresh{"settings_read_afresh",
                                 "native_settings found no reading at hand: _call_settings.open read the settings"};
qv::Counter native_json_refused{"native_json_refused", "quorvel's own parser refused an answer or a line: orjson was asked"};

}  // namespace qv::modal::fast
