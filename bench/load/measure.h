// The load client's arithmetic and bookkeeping, apart from its sockets and
// processes: percentiles of round trips, the kernel's table of UDP sockets,
// and the result files of the runs with the tables made from them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::bench {

// The value at the given fraction (0.5 for the median, 0.99 for the 99th
// percentile) of the samples, by the nearest-rank method. The samples are
// sorted in place. nullopt for no samples.
std::optional<double> Percentile(std::vector<double>& samples, double fraction);

// One line of /proc/net/udp: the kernel's state of one bound UDP socket.
struct UdpSocketState {
  uint32_t local_address = 0;  // in host byte order
  uint16_t local_port = 0;
  uint64_t rx_queue_bytes = 0;
  uint64_t inode = 0;
  uint64_t drops = 0;  // datagrams the kernel dropped for a full receive queue
};

// The socket bound to the port on 0.0.0.0 in the text of /proc/net/udp;
// nullopt when there is none.
std::optional<UdpSocketState> FindUdpSocket(std::string_view proc_net_udp, uint16_t port);

// The results of one run: "key value" lines, in the order written.
class Results {
 public:
  void Set(const std::string& key, double value);
  std::optional<double> Get(const std::string& key) const;
  std::string Serialize() const;
  // Throws std::runtime_error on a line that is not "key number".
  static Results Parse(std::string_view text);

 private:
  std::vector<std::string> order_;
  std::map<std::string, double> values_;
};

// One row of a table: a label and the key of the value in every run.
struct Row {
  std::string label;
  std::string key;
  int decimals = 1;
};

// A Markdown table with a column per run, the median of the runs and their
// spread ((largest - smallest) / median, in percent). A key missing from a
// run leaves its cell empty; a row missing from every run is left out.
std::string RenderTable(const std::vector<Results>& runs, const std::vector<Row>& rows);

}  // namespace zalvo::bench
