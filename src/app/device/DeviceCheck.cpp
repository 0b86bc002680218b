#include "app/device/DeviceCheck.h"

#include <cups/http.h>
#include <sys/stat.h>

#include <cstring>

bool deviceAllowed(const std::string& dir, const char* device_uri, std::string* why) {
    if (device_uri == nullptr || strncmp(device_uri, "file:", 5) != 0) return true;
    if (dir.empty()) {
        *why = "printing to files is not allowed (the server was started without file-directory)";
        return false;
    }
    char scheme[32], userpass[256], host[256], path[1024];
    int port;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, device_uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), host, sizeof(host), &port, path,
                        sizeof(path)) < HTTP_URI_STATUS_OK ||
        path[0] != '/') {
        *why = "the file device URI is not valid";
        return false;
    }
    std::string wanted = path;
    if (wanted.compare(0, dir.size(), dir) != 0 ||
        (wanted.size() > dir.size() && wanted[dir.size()] != '/' && dir != "/")) {
        *why = "files may be written only below " + dir;
        return false;
    }
    // Every existing part of the path is a real directory or file, never a
    // link, and nothing climbs out of the directory.
    for (size_t end = 1; end <= wanted.size(); end++) {
        if (end < wanted.size() && wanted[end] != '/') continue;
        std::string part = wanted.substr(0, end);
        if (part.size() >= 3 && part.compare(part.size() - 3, 3, "/..") == 0) {
            *why = "the file device's path climbs out of its directory";
            return false;
        }
        struct stat info;
        if (lstat(part.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            *why = part + " is a link";
            return false;
        }
    }
    return true;
}
