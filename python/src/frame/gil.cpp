#include "frame/gil.hpp"

#include "frame/ended_thread.hpp"

namespace tolvane::py {

void retake_gil(PyThreadState* released) {
    parking_if_ended([released] { PyEval_RestoreThread(released); });
}

}  // namespace tolvane::py
