#include "OnvifOperations.h"

TSoapAnswer AnswerOnvifOperation(const TSoapRequest& request, const TOnvifState&) {
  return SoapFault("env:Receiver", "ter:ActionNotSupported",
                   "The device does not support " + request.operation, 400);
}
