// The client's state as the lookups read it in one pass: the parsed
// "client_state.xml", or, when that file cannot be loaded, the records that
// the client sends over GUI RPC; with the indexes that answer the lookups.
#ifndef COLLECTOR_CLIENT_STATE_DOCUMENT_H_
#define COLLECTOR_CLIENT_STATE_DOCUMENT_H_

#include <pugixml.hpp>

#include "client/state_index.h"
#include "platform/platform.h"

enum class StateSource { kFile, kRpc };

struct StateDocument {
  pugi::xml_document document;  // the parsed client_state.xml
  StateSource source = StateSource::kFile;
  bool state_loaded = false;    // the state has been obtained for this pass

  // Answers the lookups on `document`; cleared whenever the document is
  // loaded again or emptied.
  StateIndex index;
  // Answers the lookups on the client's records; cleared whenever the
  // records are fetched again.
  RecordIndex records;
  // The state file as it was when `document` was parsed from it, while the
  // document may stand for it (invalid otherwise).
  platform::FileStamp parsed_from;

  // Drops the indexes and what the document was parsed from.
  void forget() {
    index.clear();
    records.clear();
    parsed_from = platform::FileStamp();
  }
  // Empties the document, before something large comes that it need not
  // stay beside (the client's list of all its results).
  void reset() {
    forget();
    document.reset();
  }
};

#endif  // COLLECTOR_CLIENT_STATE_DOCUMENT_H_
