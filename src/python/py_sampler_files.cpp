#include "python/py_sampler_files.hpp"
#include "python/py_sampler_state.hpp"

#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "core/file_io.hpp"
#include "python/py_args.hpp"
#include "python/py_parameters.hpp"
#include "python/py_progress.hpp"
#include "python/py_released.hpp"
#include "python/py_walk_request.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"
#include "walk/corpus.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kLoadName = "PathSampler.load()";
constexpr const char* kSaveName = "PathSampler.save()";

constexpr const char* kWriteWalksName = "PathSampler.write_walks()";

}  // namespace

PyObject* PathSampler_load(PyObject* type, PyObject* args, PyObject* kwargs) {
  parameters::Load given;
  if (!given.parse(kLoadName, args, kwargs)) return nullptr;
  std::string path;
  PyRef filename;
  WalkArguments walk;
  if (!convert_path(given.path(), path, filename) ||
      !convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(reinterpret_cast<PyTypeObject*>(type));
  if (!owner) return nullptr;
  return fill_sampler(
      std::move(owner), [&](const InterruptPoll& poll) { return state_with(load_snapshot(path, poll), walk); }, nullptr,
      filename.get());
}

PyObject* PathSampler_save(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::Save given;
  if (!given.parse(kSaveName, args, kwargs)) return nullptr;
  std::string path;
  PyRef filename;
  if (!convert_path(given.path(), path, filename)) return nullptr;
  const KG& kg = state_of(object).kg;
  if (!run_released([&](const InterruptPoll& poll) { save_snapshot(kg, path, poll); }, nullptr, filename.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr Choice<CorpusFormat> kCorpusFormatChoices[] = {
    {"tsv", CorpusFormat::kTsv}, {"words", CorpusFormat::kWords}, {"jsonl", CorpusFormat::kJsonLines}};

PyObject* PathSampler_write_walks(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::WriteWalks given;
  if (!given.parse(kWriteWalksName, args, kwargs)) return nullptr;
  // The path: an open file descriptor (written to as it is), or a str,
  // bytes or os.PathLike path (written as OutputFile writes). A bool is an
  // int to Python, but no descriptor.
  std::optional<int> descriptor;
  PyRef filename;
  std::string path;
  if (PyBool_Check(given.path())) {
    PyErr_SetString(PyExc_TypeError, "path must be str, bytes, os.PathLike or an int file descriptor, not bool");
    return nullptr;
  }
  if (PyLong_Check(given.path())) {
    std::uint64_t fd;
    if (!convert_bounded(given.path(), "path (a file descriptor)", INT_MAX, fd)) return nullptr;
    descriptor = static_cast<int>(fd);
    filename = new_ref(given.path());
  } else if (!convert_path(given.path(), path, filename)) {
    return nullptr;
  }
  // The walk numbers and the rest, as walk_ids() takes them.
  NumberedRequest request;
  if (!convert_numbered_request(given.first(), given.stop(), numbered_options(given), state_of(object).kg.node_count(),
                                request) ||
      !check_walk_kind(state_of(object).kg, request.walk)) {
    return nullptr;
  }
  CorpusFormat format = CorpusFormat::kTsv;
  if (given.format() && !convert_choice(given.format(), "format", kCorpusFormatChoices, format)) return nullptr;
  Progress progress;
  if (!progress.set(given.progress())) return nullptr;

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
        state.attach_step_numbers(request.walk, poll);
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
