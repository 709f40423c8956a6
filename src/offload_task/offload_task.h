// tessel.external.offload_task: the job framework every external analysis builds on.
#pragma once

#include "bind/bind.h"

namespace tessel::offload_task {

namespace nb = nanobind;
using namespace nb::literals;
using bind::str;
using bind::operator""_p;

// This module's globals, looked up at call time (see bind::ModuleGlobals).
inline bind::ModuleGlobals g;

inline constexpr const char* kResultContentNotPresent =
    "result_content is None, first call .execute() before calling get_output()";

// Each populates the module with one concern; module.cpp calls them in order.
void populate_globals(nb::module_& m);
void populate_job_content(nb::module_& m);
void populate_file_body(nb::module_& m);
void populate_streamed_dict(nb::module_& m);
void populate_oauth2(nb::module_& m);
void populate_offload_task(nb::module_& m);

// Pieces of OffloadTask, one file each, attached by populate_offload_task.
void add_job_lifecycle(bind::ClassBuilder& cls);
void add_upload(bind::ClassBuilder& cls);

// "VERB URL answered HTTP STATUS: BODY", the body shortened: the note of an
// error raised for an unexpected answer.
nb::str http_evidence(const char* verb, nb::handle url, nb::handle response);

// (connect, read) time-out in seconds of the upload and the result download.
inline nb::object transfer_timeout() { return nb::make_tuple(10, 300); }

// The module's logger, looked up at call time so tests can patch it.
inline void log(const char* level, nb::handle message) { g("logger").attr(level)(message); }

}  // namespace tessel::offload_task
