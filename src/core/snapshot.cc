#include "core/snapshot.h"

#include "core/json_writer.h"

namespace pvdb::core {

void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries) {
  out.append("{\"dim\":");
  write_json_u64(out, dim);
  out.append(",\"entries\":[");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_entry(out, *entries[i]);
  }
  out.append("]}");
}

}  // namespace pvdb::core
