#include "dictate/writer.h"

#include "platform/text/name_list.h"

namespace dictate {

text::Formatted writeDictation(std::string_view text, bool committed, std::string_view before) {
  return text::formatDictation(text, {.committed = committed, .before = before});
}

void prepareWriter() { text::NameList::installed(); }

}  // namespace dictate
