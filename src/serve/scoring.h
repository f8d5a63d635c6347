// The service's scoring: the keys it serves as models (read again at
// SIGHUP), the admission of requests (the queue and the memory budget)
// and the pool that scores them with the run core.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/plan.h"
#include "render/messages.h"
#include "serve/budget.h"
#include "serve/request.h"
#include "serve/settings.h"

namespace karva {

// A key served as a model, by its name.
struct ServedModel {
  std::string path;                 // the key file, read again at SIGHUP
  std::string name;                 // the key file's name without its extension
  SharedKey key;                    // prepared
  std::vector<std::string> inputs;  // its inputs' names, in the key's order
  bool named = false;               // given by --inputs: CSV bodies are read by them
};
using Models = std::vector<ServedModel>;

// A model's name: its key file's name without the extension.
std::string model_name(const std::string& key_path);

// The key at `path` as a model: read (only from a regular file, so that
// nothing waits) and built, its inputs named `inputs` (which must fit the
// key) or, when there are none, by their letters, as --explain names them
// without data. The message when it cannot be.
Expected<ServedModel, std::string> load_model(const std::string& path, const std::vector<std::string>& inputs);

const ServedModel* find_model(const Models& models, std::string_view name);

// The models being served; a reload replaces them for the requests that
// come after, while those in flight finish on the ones they began with.
class ModelStore {
 public:
  explicit ModelStore(Models models) : models_(std::make_shared<const Models>(std::move(models))) {}
  std::shared_ptr<const Models> current() const { return models_.load(); }
  // Reads every key again: one that reads and builds replaces its model
  // (keeping its input names); one that fails keeps the old. Gives, per
  // model, the message of a failure, or nothing.
  std::vector<std::optional<std::string>> reload();

 private:
  std::atomic<std::shared_ptr<const Models>> models_;
};

// The predictions of a request's rows, and which rows miss an input.
struct Scored {
  std::vector<double> predictions;
  std::vector<unsigned char> missing;
};

// The scoring of requests. At most the queue limit of them are read into
// rows or scored at once; past it a request is answered 503 at once, so
// that work waiting never grows without bound. A large request is split
// across the pool's threads like a file, one large request at a time; a
// small one scores on its connection's own thread and so never waits
// behind a large one. What each holds is charged to the memory budget.
class Scoring {
 public:
  explicit Scoring(const ServeSettings& settings) : settings_(settings) {}

  // Holds a place among the requests being scored while it lives.
  class Place {
   public:
    explicit Place(std::atomic<int>& taken) : taken_(taken) {}
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() { taken_.fetch_sub(1); }

   private:
    std::atomic<int>& taken_;
  };
  // A place, or nothing when the queue is full.
  std::optional<Place> admit();

  // The limits of reading a request's rows for `model`, charged to `charge`.
  ReadLimits limits(const ServedModel& model, MemoryBudget::Charge& charge) const;
  // What a request with a body of `bytes` holds while it is read (the body
  // and, for JSON, the reader's index of it), or SIZE_MAX past counting.
  static std::size_t reading_bytes(std::size_t bytes, bool json);
  // Has `charge` hold at least that; false without room.
  static bool charge_reading(MemoryBudget::Charge& charge, std::size_t bytes, bool json);

  Scored rows(const ServedModel& model, const Matrix& m);
  // A CSV body, read as --csv reads a file: by the model's names when it
  // has them, else every column an input; compressed as a file may be,
  // its decoded text held to the body limit and the read timeout. No
  // request gets partial predictions.
  Expected<Scored, RequestFault> csv(const ServedModel& model, const std::string& body, MemoryBudget::Charge& charge);

 private:
  std::unique_lock<std::mutex> pool_for(bool large);
  int threads(const std::unique_lock<std::mutex>& pool) const { return pool.owns_lock() ? settings_.jobs : 1; }

  const ServeSettings& settings_;
  std::atomic<int> taken_{0};
  std::mutex pool_;  // the pool's threads, for one large request at a time
};

}  // namespace karva
