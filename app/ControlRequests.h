#pragma once

// What the running program does with the requests of kalvor-tasks run|stop|pause|resume
// (common/ControlRequest.h): the same as the main window's commands. GUI thread only.

#include "SingleApplication.h"

#include <string>

// Answers one request line; `reply` is called once, at once or when the run in question
// has started or ended (run waits at most a few seconds, stop until the stopped run ends).
void AnswerControlRequest(const std::string& line, const SingleApplication::Reply& reply);
