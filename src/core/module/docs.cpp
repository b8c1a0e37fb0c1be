#include "module/docs.h"

#include <cstring>

#include "orbisyn_docs.h"  // generated: kStubDocs

namespace orbisyn {

const char* StubDoc(const char* owner, const char* name) {
  const char* want_owner = owner ? owner : "";
  const char* want_name = name ? name : "";
  for (const StubDocEntry& e : kStubDocs) {
    if (e.doc && std::strcmp(e.owner, want_owner) == 0 && std::strcmp(e.name, want_name) == 0)
      return e.doc;
  }
  return nullptr;
}

}  // namespace orbisyn
