#include "dictate/writer.h"

#include "platform/text/name_list.h"

namespace dictate {

speech::Formatted writeDictation(std::string_view text, bool committed, std::string_view before) {
  return speech::formatDictation(text, {.committed = committed, .before = before});
}

void prepareWriter() { speech::NameList::installed(); }

}  // namespace dictate
