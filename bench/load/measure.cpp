#include "bench/load/measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace zalvo::bench {

std::optional<double> Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) {
    return std::nullopt;
  }
  std::sort(samples.begin(), samples.end());
  auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
  rank = std::clamp<size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

std::optional<UdpSocketState> FindUdpSocket(std::string_view proc_net_udp, uint16_t port) {
  std::istringstream in{std::string(proc_net_udp)};
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt
    // uid timeout inode ref pointer drops
    std::istringstream fields(line);
    std::string slot, local, remote, st, queues, timer, retransmits, uid, timeout, inode, ref,
        pointer, drops;
    if (!(fields >> slot >> local >> remote >> st >> queues >> timer >> retransmits >> uid >>
          timeout >> inode >> ref >> pointer >> drops)) {
      continue;
    }
    auto colon = local.find(':');
    auto queue_colon = queues.find(':');
    if (colon == std::string::npos || queue_colon == std::string::npos) {
      continue;
    }
    UdpSocketState state;
    try {
      state.local_address = static_cast<uint32_t>(std::stoul(local.substr(0, colon), nullptr, 16));
      state.local_port = static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
      state.rx_queue_bytes = std::stoull(queues.substr(queue_colon + 1), nullptr, 16);
      state.inode = std::stoull(inode);
      state.drops = std::stoull(drops);
    } catch (const std::exception&) {
      continue;
    }
    if (state.local_port == port && state.local_address == 0) {
      return state;
    }
  }
  return std::nullopt;
}

void Results::Set(const std::string& key, double value) {
  if (values_.find(key) == values_.end()) {
    order_.push_back(key);
  }
  values_[key] = value;
}

std::optional<double> Results::Get(const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::string Results::Serialize() const {
  std::string out;
  char number[64];
  for (const std::string& key : order_) {
    std::snprintf(number, sizeof number, "%.6g", values_.at(key));
    out += key + " " + number + "\n";
  }
  return out;
}

Results Results::Parse(std::string_view text) {
  Results results;
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) {
      continue;
    }
    std::istringstream fields(line);
    std::string key, value, rest;
    size_t used = 0;
    double parsed = 0;
    bool ok = static_cast<bool>(fields >> key >> value) && !(fields >> rest);
    if (ok) {
      try {
        parsed = std::stod(value, &used);
      } catch (const std::exception&) {
        ok = false;
      }
    }
    if (!ok || used != value.size()) {
      throw std::runtime_error("results line " + std::to_string(number) + " is not \"key number\"");
    }
    results.Set(key, parsed);
  }
  return results;
}

std::string RenderTable(const std::vector<Results>& runs, const std::vector<Row>& rows) {
  std::string out = "| |";
  std::string rule = "|---|";
  for (size_t i = 0; i < runs.size(); ++i) {
    out += " run " + std::to_string(i + 1) + " |";
    rule += "---:|";
  }
  out += " median | spread |\n" + rule + "---:|---:|\n";
  for (const Row& row : rows) {
    std::vector<double> values;
    std::string cells;
    char cell[64];
    for (const Results& run : runs) {
      auto value = run.Get(row.key);
      if (value) {
        values.push_back(*value);
        std::snprintf(cell, sizeof cell, " %.*f |", row.decimals, *value);
        cells += cell;
      } else {
        cells += " |";
      }
    }
    if (values.empty()) {
      continue;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    std::snprintf(cell, sizeof cell, " %.*f |", row.decimals, median);
    std::string median_cell = cell;
    std::string spread_cell = " |";
    if (n > 1 && median != 0) {
      std::snprintf(cell, sizeof cell, " %.0f%% |",
                    100 * (sorted.back() - sorted.front()) / std::fabs(median));
      spread_cell = cell;
    }
    out += "| " + row.label + " |" + cells + median_cell + spread_cell + "\n";
  }
  return out;
}

}  // namespace zalvo::bench
