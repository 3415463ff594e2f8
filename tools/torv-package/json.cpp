// torv-package json: the whole model as one JSON document, streamed.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "json_writer.hpp"
#include "output.hpp"
#include "output_file.hpp"
#include "torv_package/schema_table.hpp"

namespace torv_package::cli {
namespace {

using Digest = std::array<unsigned char, 32>;

// Whether a record, or one it holds, has a data field; the walk that gathers data skips
// lists of records that have none.
template <class Record>
consteval bool holds_data() {
  return !for_each_field<Record>([](auto row) {
    if constexpr (row.kind == FieldKind::data) {
      return false;
    } else if constexpr (row.kind == FieldKind::record_list) {
      return !holds_data<typename decltype(row)::element_type>();
    } else if constexpr (row.kind == FieldKind::record) {
      return !holds_data<typename decltype(row)::member_type>();
    } else {
      return true;
    }
  });
}

using Bytes = std::span<const std::uint8_t>;

// Calls `take` with every data field of `record`, in the order the document lists them:
// spans into the mapped file.
template <class Record, class Take>
void gather_data(const View<Record>& record, Take& take) {
  for_each_field<Record>([&](auto row) {
    using Row = decltype(row);
    if constexpr (row.kind == FieldKind::data) {
      take(table_value(record, row));
    } else if constexpr (row.kind == FieldKind::record_list) {
      if constexpr (holds_data<typename Row::element_type>()) {
        for (const auto item : table_value(record, row)) gather_data(item, take);
      }
    } else if constexpr (row.kind == FieldKind::record) {
      if constexpr (holds_data<typename Row::member_type>()) gather_data(table_value(record, row), take);
    }
  });
}

// Hashes `fields` into `out`, on every core there is a thread for.
void hash_all(std::span<const Bytes> fields, std::span<Digest> out) {
  const auto hash = [&](std::size_t first, std::size_t step) {
    for (std::size_t i = first; i < fields.size(); i += step) {
      EVP_Digest(fields[i].data(), fields[i].size(), out[i].data(), nullptr, EVP_sha256(), nullptr);
    }
  };
  const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
  std::vector<std::thread> workers;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      workers.emplace_back(hash, t, threads);
    } catch (const std::system_error&) {
      // No thread to be had: this one hashes that share too.
      hash(t, threads);
    }
  }
  hash(0, threads);
  for (auto& worker : workers) worker.join();
}

// SHA-256 of every data field, in the order the document lists them, computed on all
// cores before the document is written. The digests take 32 bytes a field, less than the
// model's record for it, which the view's budget has counted; the spans being hashed are
// kept a batch of fields at a time, not for the whole package (their bytes stay in the
// file).
std::vector<Digest> digests(const View<Application>& app) {
  std::size_t count = 0;
  auto counter = [&](Bytes) { ++count; };
  gather_data(app, counter);
  std::vector<Digest> out(count);
  constexpr std::size_t batch_fields = std::size_t{1} << 16;
  std::vector<Bytes> batch;
  batch.reserve(std::min(count, batch_fields));
  std::size_t done = 0;
  const auto flush = [&] {
    hash_all(batch, std::span(out).subspan(done, batch.size()));
    done += batch.size();
    batch.clear();
  };
  auto take = [&](Bytes data) {
    batch.push_back(data);
    if (batch.size() == batch_fields) flush();
  };
  gather_data(app, take);
  flush();
  return out;
}

// A model's JSON document follows the schema table: each record an object with its fields
// in table order, numbers in decimal, enums by name, number lists on one line, and data in
// the form asked for.
class Document {
 public:
  Document(Output& out, DataForm form, bool one_line, std::vector<Digest> digests)
      : json_(out, one_line), form_(form), digests_(std::move(digests)) {}

  void application(const View<Application>& app) {
    json_.begin_object();
    fields(app);
    json_.end_object();
    json_.end_document();
  }

 private:
  template <class Record>
  void fields(const View<Record>& record) {
    for_each_field<Record>([&](auto row) {
      const auto value = table_value(record, row);
      json_.key(row.name);
      if constexpr (row.kind == FieldKind::number) {
        json_.number(value);
      } else if constexpr (row.kind == FieldKind::enumeration) {
        json_.string(enumerant_name(value));
      } else if constexpr (row.kind == FieldKind::text) {
        json_.string(value);
      } else if constexpr (row.kind == FieldKind::data) {
        data(value);
      } else if constexpr (row.kind == FieldKind::number_list) {
        json_.begin_array(true);
        for (const auto v : value) json_.number(v);
        json_.end_array();
      } else if constexpr (row.kind == FieldKind::record_list) {
        json_.begin_array();
        for (const auto item : value) {
          json_.begin_object();
          fields(item);
          json_.end_object();
        }
        json_.end_array();
      } else {
        json_.begin_object();
        fields(value);
        json_.end_object();
      }
    });
  }

  void data(Bytes bytes);

  JsonWriter json_;
  DataForm form_;
  std::vector<Digest> digests_;
  std::size_t next_digest_ = 0;
};

void Document::data(Bytes bytes) {
  if (form_ == DataForm::none) {
    json_.begin_object();
    json_.key("size");
    json_.number(bytes.size());
    json_.end_object();
    return;
  }
  if (form_ == DataForm::summary) {
    json_.begin_object();
    json_.key("size");
    json_.number(bytes.size());
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

}  // namespace

int json(const std::string& path, const JsonOptions& options) {
  auto file = OutputFile::open(options.output, {path});
  if (!file) return exit_trouble;
  // The rules' faults as check --all prints them, on standard error: the document stays
  // the model.
  Output errors(STDERR_FILENO);
  EachFault to_errors([&](PackageError error) {
    errors.print("{}: {}\n", shown(path), describe(error));
    return true;
  });
  const auto view = options.no_validate ? open_or_report(path, to_errors) : open_or_report(path);
  (void)errors.finish();  // nowhere left to report a failure
  if (!view) return exit_trouble;
  const View<Application>& app = *view;
  const DataForm form = options.data;
  Output out(file->fd());
  Document(out, form, options.compact, form == DataForm::summary ? digests(app) : std::vector<Digest>{})
      .application(app);
  return file->finish(out.finish());
}

}  // namespace torv_package::cli
