#include "python/py_sampler_files.hpp"
#include "python/py_sampler_state.hpp"

#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "core/file_io.hpp"
#include "python/py_args.hpp"
#include "python/py_progress.hpp"
#include "python/py_walk_request.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"
#include "walk/corpus.hpp"

namespace vantrel::py {

namespace {

constexpr ParamDescription kLoadParams[] = {
    {"path", false, false},
    {"mean_path_len", false, false},
    {"max_path_len", false, false},
    {"random_state", false, false},
};
constexpr const char* kLoadName = "PathSampler.load()";
constexpr const char* kSaveName = "PathSampler.save()";

constexpr const char* kWriteWalksName = "PathSampler.write_walks()";

}  // namespace

PyObject* PathSampler_load(PyObject* type, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kLoadParams)];
  if (parse_fn_args(kLoadName, kLoadParams, args, kwargs, false, false, slots) < 0) return nullptr;
  std::string path;
  PyRef filename;
  WalkArguments walk;
  if (!convert_path(slots[0].get(), path, filename) ||
      !convert_walk_arguments(slots[1].get(), slots[2].get(), slots[3].get(), walk)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(
      std::move(owner), [&](const InterruptPoll& poll) { return state_with(load_snapshot(path, poll), walk); }, nullptr,
      filename.get());
}

constexpr ParamDescription kSaveParams[] = {{"path", false, false}};

PyObject* PathSampler_save(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kSaveParams)];
  if (parse_fn_args(kSaveName, kSaveParams, args, kwargs, false, false, slots) < 0) return nullptr;
  std::string path;
  PyRef filename;
  if (!convert_path(slots[0].get(), path, filename)) return nullptr;
  const KG& kg = state_of(object).kg;
  if (!run_released([&](const InterruptPoll& poll) { save_snapshot(kg, path, poll); }, nullptr, filename.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr Choice<CorpusFormat> kCorpusFormatChoices[] = {
    {"tsv", CorpusFormat::kTsv}, {"words", CorpusFormat::kWords}, {"jsonl", CorpusFormat::kJsonLines}};

constexpr ParamDescription kWriteWalksParams[] = {
    {"path", false, false},  {"first", false, false}, {"stop", false, false},   {"threads", true, true},
    {"start", true, true},   {"items", true, true},   {"position", true, true}, {"unique", true, true},
    {"relabel", true, true}, {"format", true, true},  {"progress", true, true}, {"length", true, true},
};

PyObject* PathSampler_write_walks(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kWriteWalksParams)];
  if (parse_fn_args(kWriteWalksName, kWriteWalksParams, args, kwargs, false, false, slots) < 0) return nullptr;
  // The path: an open file descriptor (written to as it is), or a str,
  // bytes or os.PathLike path (written as OutputFile writes). A bool is an
  // int to Python, but no descriptor.
  std::optional<int> descriptor;
  PyRef filename;
  std::string path;
  if (PyBool_Check(slots[0].get())) {
    PyErr_SetString(PyExc_TypeError, "path must be str, bytes, os.PathLike or an int file descriptor, not bool");
    return nullptr;
  }
  if (PyLong_Check(slots[0].get())) {
    std::uint64_t fd;
    if (!convert_bounded(slots[0].get(), "path (a file descriptor)", INT_MAX, fd)) return nullptr;
    descriptor = static_cast<int>(fd);
    filename = new_ref(slots[0].get());
  } else if (!convert_path(slots[0].get(), path, filename)) {
    return nullptr;
  }
  // The walk numbers and the rest, as walk_ids() takes them.
  NumberedRequest request;
  const NumberedOptions options{slots[3].get(), slots[4].get(), slots[5].get(), slots[6].get(),
                                slots[7].get(), slots[8].get(), slots[11].get()};
  if (!convert_numbered_request(slots[1].get(), slots[2].get(), options, state_of(object).kg.node_count(), request) ||
      !check_walk_kind(state_of(object).kg, request.walk)) {
    return nullptr;
  }
  CorpusFormat format = CorpusFormat::kTsv;
  if (slots[9] && !convert_choice(slots[9].get(), "format", kCorpusFormatChoices, format)) return nullptr;
  Progress progress;
  if (!progress.set(slots[10].get())) return nullptr;

  SamplerState& state = state_of(object);
  std::atomic<std::uint64_t> written{0};
  CorpusCounts counts;
  // At each poll, with the lock held: the progress callable now and then,
  // and once more with the final count.
  auto report_progress = [&] {
    progress.report([&] { return PyLong_FromUnsignedLongLong(written.load(std::memory_order_relaxed)); });
  };
  const bool succeeded = run_released_with(
      [&](const InterruptPoll& poll) {
        std::optional<OutputFile> file;
        if (!descriptor) file.emplace(path, poll);
        if (request.walk.items == Items::kEdges) request.walk.kind.edges = &state.entry_triples(poll);
        counts = write_corpus(state.kg, state.rules, request.walk,
                              CorpusOutput{descriptor ? *descriptor : file->fd(), format, written}, poll);
        progress.finish();
        if (progress) poll();  // the final count, before the file appears
        if (file) file->commit();
      },
      report_progress, nullptr, filename.get());
  if (!succeeded) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts.walks),
                       static_cast<unsigned long long>(counts.tokens));
}

}  // namespace vantrel::py
