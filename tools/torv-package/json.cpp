// torv-package json: the whole model as one JSON document, streamed.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "json_writer.hpp"
#include "output.hpp"

namespace torv_package::cli {
namespace {

using Digest = std::array<unsigned char, 32>;

// SHA-256 of every segment's data, in the order the document lists them, computed on all
// cores before the document is written.
std::vector<Digest> digests(const Application& app) {
  std::vector<const Segment*> segments;
  for (const auto& tile : app.tiles) {
    for (const auto& segment : tile.segments) segments.push_back(&segment);
  }
  std::vector<Digest> out(segments.size());
  const auto hash = [&](std::size_t first, std::size_t step) {
    for (std::size_t i = first; i < segments.size(); i += step) {
      const auto& data = segments[i]->data;
      EVP_Digest(data.data(), data.size(), out[i].data(), nullptr, EVP_sha256(), nullptr);
    }
  };
  const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
  std::vector<std::thread> workers;
  for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(hash, t, threads);
  hash(0, threads);
  for (auto& worker : workers) worker.join();
  return out;
}

class Document {
 public:
  Document(Output& out, DataForm form, std::vector<Digest> digests)
      : json_(out), form_(form), digests_(std::move(digests)) {}

  void application(const Application& app);

 private:
  void field(std::string_view name, std::uint64_t value) {
    json_.key(name);
    json_.number(value);
  }
  void field(std::string_view name, std::string_view text) {
    json_.key(name);
    json_.string(text);
  }
  void numbers(std::string_view name, const std::vector<std::uint32_t>& values) {
    json_.key(name);
    json_.begin_array(true);
    for (const auto v : values) json_.number(v);
    json_.end_array();
  }
  template <class T, class Each>
  void list(std::string_view name, const std::vector<T>& items, Each&& each) {
    json_.key(name);
    json_.begin_array();
    for (const T& item : items) {
      json_.begin_object();
      each(item);
      json_.end_object();
    }
    json_.end_array();
  }
  void data(const std::vector<std::uint8_t>& bytes);
  void binding_list(std::string_view name, const std::vector<Binding>& bindings);
  void host_exchange(const HostExchange& ex);
  void profile_plans(const std::vector<TileProfilePlan>& plans);

  JsonWriter json_;
  DataForm form_;
  std::vector<Digest> digests_;
  std::size_t next_digest_ = 0;
};

void Document::data(const std::vector<std::uint8_t>& bytes) {
  json_.key("data");
  if (form_ == DataForm::summary) {
    json_.begin_object();
    field("size", bytes.size());
    const Digest& digest = digests_[next_digest_++];
    json_.key("sha256");
    json_.begin_raw_string();
    for (const unsigned char b : digest) json_.raw(fmt::format("{:02x}", b));
    json_.end_raw_string();
    json_.end_object();
    return;
  }
  json_.begin_raw_string();
  constexpr std::size_t chunk = 48 * 1024;  // a multiple of 3, so base64 needs no padding inside
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    const std::size_t n = std::min(chunk, bytes.size() - at);
    if (form_ == DataForm::hex) {
      static constexpr char digits[] = "0123456789abcdef";
      text.resize(2 * n);
      for (std::size_t i = 0; i < n; ++i) {
        text[2 * i] = digits[bytes[at + i] >> 4];
        text[2 * i + 1] = digits[bytes[at + i] & 15];
      }
    } else {
      text.resize(4 * ((n + 2) / 3) + 1);
      const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data() + at,
                                          static_cast<int>(n));
      text.resize(static_cast<std::size_t>(written));
    }
    json_.raw(text);
  }
  json_.end_raw_string();
}

void Document::binding_list(std::string_view name, const std::vector<Binding>& bindings) {
  list(name, bindings, [&](const Binding& b) {
    field("name", b.name);
    field("dtype", b.dtype);
    numbers("shape", b.shape);
    list("slices", b.slices, [&](const RegionSlice& s) {
      field("tile", s.tile);
      field("tile_address", s.tile_address);
      field("file_offset", s.file_offset);
      field("size", s.size);
    });
  });
}

void Document::host_exchange(const HostExchange& ex) {
  const auto slices = [&](std::string_view name, const std::vector<HostSlice>& items) {
    list(name, items, [&](const HostSlice& s) {
      field("page", s.page);
      field("page_offset", s.page_offset);
      field("file_offset", s.file_offset);
      field("size", s.size);
    });
  };
  json_.key("host_exchange");
  json_.begin_object();
  field("startup_mark", ex.startup_mark);
  field("command_page", ex.command_page);
  field("command_offset", ex.command_offset);
  list("pages", ex.pages, [&](const HostPage& p) {
    field("index", p.index);
    field("size", p.size);
  });
  numbers("attach_order", ex.attach_order);
  list("calls", ex.calls, [&](const HostCall& c) {
    field("name", c.name);
    field("command", c.command);
    field("phases", c.phases);
    slices("inputs", c.inputs);
    slices("outputs", c.outputs);
    field("invocations", c.invocations);
    numbers("input_batch_ends", c.input_batch_ends);
    numbers("output_batch_ends", c.output_batch_ends);
  });
  json_.end_object();
}

void Document::profile_plans(const std::vector<TileProfilePlan>& plans) {
  list("profile_tiles", plans, [&](const TileProfilePlan& plan) {
    field("physical_tile", plan.physical_tile);
    list("steps", plan.steps, [&](const ProfileStep& s) {
      field("local_index", s.local_index);
      field("phase", s.phase);
      field("epoch", s.epoch);
      field("operation", s.operation);
      field("kind", kind_name(s.kind));
      field("kernel", s.kernel);
      list("metadata", s.metadata, [&](const ProfileMetadata& m) {
        field("name", m.name);
        field("value", m.value);
      });
      list("exchange_activities", s.exchange_activities, [&](const ProfileExchangeActivity& a) {
        field("kind", kind_name(a.kind));
        field("start_cycle", a.start_cycle);
        field("end_cycle", a.end_cycle);
      });
      field("exchange_event_cycles", s.exchange_event_cycles);
    });
  });
}

void Document::application(const Application& app) {
  json_.begin_object();
  field("compiler_version", app.compiler_version);
  list("tiles", app.tiles, [&](const TileImage& t) {
    field("physical_tile", t.physical_tile);
    field("entry_point", t.entry_point);
    field("command_address", t.command_address);
    field("diagnostic_address", t.diagnostic_address);
    list("segments", t.segments, [&](const Segment& s) {
      field("address", s.address);
      field("memory_size", s.memory_size);
      data(s.data);
      field("flags", s.flags);
    });
  });
  binding_list("inputs", app.inputs);
  binding_list("outputs", app.outputs);
  binding_list("weights", app.weights);
  host_exchange(app.host_exchange);
  list("entry_points", app.entry_points, [&](const EntryPoint& e) {
    field("name", e.name);
    field("command", e.command);
    field("external_syncs", e.external_syncs);
  });
  list("device_config_writes", app.device_config_writes, [&](const DeviceConfigWrite& w) {
    field("offset", w.offset);
    field("value", w.value);
  });
  profile_plans(app.profile_tiles);
  list("debug_symbols", app.debug_symbols, [&](const DebugSymbol& s) {
    field("name", s.name);
    field("address", s.address);
  });
  list("debug_regions", app.debug_regions, [&](const DebugRegion& r) {
    field("physical_tile", r.physical_tile);
    field("address", r.address);
    field("size", r.size);
    field("name", r.name);
  });
  json_.end_object();
  json_.end_document();
}

}  // namespace

int json(const std::string& path, DataForm form) {
  const auto app = read_or_report(path);
  if (!app) return exit_trouble;
  Output out;
  Document(out, form, form == DataForm::summary ? digests(*app) : std::vector<Digest>{}).application(*app);
  if (const auto error = out.finish()) return write_failure(*error);
  return exit_ok;
}

}  // namespace torv_package::cli
