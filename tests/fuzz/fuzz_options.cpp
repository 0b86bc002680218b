// The options text of the filter's command line into the parameter table,
// the secrets its passwords give the log, and the job block text.
#include <cstring>
#include <string>

#include "JobParamsProc/JobParamsProc.h"
#include "Utility/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string options(reinterpret_cast<const char*>(data), size);
    PARAM_KEY_SPERATOR_VALUE table[PARAM_ROWS];
    memcpy(table, tblDefParam, sizeof(table));
    GetJobParamFromCups(options.c_str(), table);
    char job_params[JOB_PARAMS_SIZE];
    char* out = job_params;
    BuildJobParams(&out, table);
    if (strlen(job_params) >= JOB_PARAMS_SIZE) __builtin_trap();
    forgetLogSecrets();  // one job an input
    return 0;
}
