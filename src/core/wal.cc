#include "core/wal.h"

#include "core/json_writer.h"

namespace pvdb::core {

void encode_wal_upsert(std::string& out, const VectorEntry& entry) {
  out.append("{\"op\":\"upsert\",\"data\":");
  write_entry(out, entry);
  out.append("}\n");
}

void encode_wal_delete(std::string& out, std::string_view id) {
  out.append("{\"op\":\"delete\",\"data\":{\"id\":");
  write_json_string(out, id);
  out.append("}}\n");
}

}  // namespace pvdb::core
