// The program's own HTTP/1.1 GET client.
#ifndef DODODUZOD_MYHTTP_H
#define DODODUZOD_MYHTTP_H

#include <cstddef>
#include <string>

class MyHTTP {
  public:
    enum { requestSize = 4096, responseSize = 8192 };

    static bool GetUrl(std::string url, int port, std::string credentials, std::string& body,
                       std::string& error, bool verbose);
    static bool GetIPv4Url(std::string ipAddress, std::string requestTarget, std::string request,
                           int port, std::string& body, std::string& error, bool verbose);
    static bool GetIPv6Url(std::string ipAddress, std::string requestTarget, std::string request,
                           int port, std::string& body, std::string& error, bool verbose);

    // Cuts "http://host/target" into host and target; false when no "/" follows the host.
    static bool SplitUrl(const std::string& url, std::string& host, std::string& target);
    // What GetUrl does before it resolves the host: cuts the URL, refuses one whose host or
    // target holds a blank or a control byte ("Invalid URL."), and builds the request.
    static bool PrepareRequest(const std::string& url, const std::string& credentials,
                               std::string& host, std::string& target, std::string& request,
                               std::string& error, bool verbose);
    static std::string BuildRequest(const std::string& host, const std::string& target,
                                    const std::string& credentials);
    // True once a response that announces a Content-Length holds its whole body.
    static bool IsComplete(const char* data, size_t length);
    // The body after the first empty line of the response text in `data`.
    static bool ExtractBody(const char* data, size_t length, std::string& body, std::string& error);

    // Seconds for the send and receive time-outs; 60 unless a test shortens it.
    static int timeoutSeconds;
    // While true, an IPv6 exchange asks the kernel for a public (non-temporary) source
    // address; where that is refused it goes on with the kernel's choice.
    static bool preferPublicSource;
};

#endif
