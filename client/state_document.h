// The client's state as the lookups read it in one pass: the parsed
// "client_state.xml", or, when that file cannot be loaded, the records that
// the client sends over GUI RPC.
#ifndef COLLECTOR_CLIENT_STATE_DOCUMENT_H_
#define COLLECTOR_CLIENT_STATE_DOCUMENT_H_

#include <pugixml.hpp>

enum class StateSource { kFile, kRpc };

struct StateDocument {
  pugi::xml_document document;  // the parsed client_state.xml
  StateSource source = StateSource::kFile;
  bool state_loaded = false;    // the state has been obtained for this pass
};

#endif  // COLLECTOR_CLIENT_STATE_DOCUMENT_H_
