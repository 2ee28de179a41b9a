#include "ensemble/EnsembleFiles.h"

#include <algorithm>

#include "ensemble/ProcessGroup.h"

EnsembleFiles::EnsembleFiles(const std::vector<FilePlan>& plans, const ProcessGroup& processes) {
    const bool shared = processes.size() > 1;
    files.resize(plans.size());
    std::vector<long long> starts(plans.size(), 0);
    if (processes.isLeader()) {
        for (std::size_t k = 0; k < plans.size(); ++k) {
            const PositionedFile::Layout layout{plans[k].recordBytes, {}, shared};
            files[k].reset(new File{PositionedFile(plans[k].path, true, layout), 0, plans[k].stride});
            files[k]->start = files[k]->file.sizeAtOpen();
            starts[k] = files[k]->start;
        }
    }
    processes.broadcast(starts);
    for (std::size_t k = 0; k < plans.size(); ++k) {
        if (files[k]) continue;
        const PositionedFile::Layout layout{plans[k].recordBytes, starts[k], shared};
        files[k].reset(new File{PositionedFile(plans[k].path, false, layout), starts[k], plans[k].stride});
    }
}

EnsembleWriters::EnsembleWriters(EnsembleFiles& files) : files(files) {
    writers.reserve(files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
        writers.emplace_back(files[k].file, static_cast<std::size_t>(std::clamp(files[k].stride, 1LL, kBuffer)));
    }
}

void EnsembleWriters::moveTo(long long trajectory) {
    for (std::size_t k = 0; k < writers.size(); ++k) writers[k].moveTo(files[k].start + trajectory * files[k].stride);
}
