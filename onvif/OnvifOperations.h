// The answers of the device and media services to requests already let through: each operation
// recorders call is answered from the state, an unknown one with ter:ActionNotSupported.
#pragma once

#include <string_view>
#include <vector>

#include "OnvifState.h"
#include "SoapAnswer.h"
#include "SoapRequest.h"

TSoapAnswer AnswerOnvifOperation(const TSoapRequest& request, const TOnvifState& state);

// The local names of the operations answered, for logs and for tests that walk them all.
std::vector<std::string_view> AnsweredOnvifOperations();
