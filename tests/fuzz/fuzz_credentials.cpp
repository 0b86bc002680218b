// The credentials file, whatever it holds.
#include <cstring>

#include "FuzzSupport.h"
#include "Utility/Credentials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = inputFile(data, size, ".json");
    char id[AUTH_FIELD_SIZE], password[AUTH_FIELD_SIZE];
    memset(id, 0, sizeof(id));
    memset(password, 0, sizeof(password));
    char* id_ptr = id;
    char* password_ptr = password;
    getAuthInfoFrom(path.c_str(), &id_ptr, &password_ptr);
    if (id[AUTH_FIELD_SIZE - 1] != '\0' || password[AUTH_FIELD_SIZE - 1] != '\0') __builtin_trap();
    return 0;
}
