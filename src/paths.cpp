#include "paths.hpp"

#include <optional>

#include "fd.hpp"

namespace voskel::paths {

void add_bam_inputs(std::vector<std::string> &inputs, std::string_view bam) {
  const std::string path(bam);
  inputs.push_back(path);
  inputs.push_back(path + ".bai");
  inputs.push_back(path + ".csi");
  if (bam.ends_with(".bam"))
    inputs.push_back(path.substr(0, path.size() - 4) + ".bai");
}

namespace {

struct FileId {
  dev_t dev;
  ino_t ino;
  friend bool operator==(const FileId &, const FileId &) = default;
};

std::optional<FileId> file_id(const std::string &path) {
  const auto st = fd::status(path);
  if (!st)
    return std::nullopt;
  return FileId{st->st_dev, st->st_ino};
}

} // namespace

Status refuse_outputs_over_inputs(std::span<const std::string> outputs,
                                  std::span<const std::string> inputs) {
  // Each input is examined once, however many outputs there are.
  std::vector<std::optional<FileId>> input_ids;
  input_ids.reserve(inputs.size());
  for (const std::string &in : inputs)
    input_ids.push_back(file_id(in));
  for (const std::string &out : outputs) {
    const auto out_id = file_id(out);
    if (!out_id)
      continue;
    for (size_t i = 0; i < inputs.size(); ++i)
      if (input_ids[i] == out_id)
        return fail_fmt("cannot write {}: it is also an input of this call ({})", out, inputs[i]);
  }
  return {};
}

} // namespace voskel::paths
