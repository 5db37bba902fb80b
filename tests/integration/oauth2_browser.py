#!/usr/bin/python3
# A "browser" for the sign-in tests, as xdg-open starts one through $BROWSER:
#
#   oauth2_browser.py URL
#
# It goes where a person's browser goes: to the provider's authorization
# address, which sends it on to the program's loopback address. Like a real
# browser it asks that server for /favicon.ico first. Each step is appended to
# $OAUTH2_BROWSER_LOG as "<status> <path>", and "done" at the end.
import os
import sys
import urllib.error
import urllib.parse
import urllib.request


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None


def fetch(opener, url):
    try:
        with opener.open(url, timeout=30) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def main():
    log_path = os.environ.get("OAUTH2_BROWSER_LOG", os.devnull)
    opener = urllib.request.build_opener(NoRedirect)
    with open(log_path, "a", encoding="utf-8") as log:
        url = sys.argv[1]
        for _ in range(5):
            status, headers, _body = fetch(opener, url)
            log.write(f"{status} {urllib.parse.urlsplit(url).path}\n")
            location = headers.get("Location") if 300 <= status < 400 else None
            if not location:
                break
            url = urllib.parse.urljoin(url, location)
            target = urllib.parse.urlsplit(url)
            if target.hostname in ("127.0.0.1", "localhost"):
                favicon = urllib.parse.urlunsplit((target.scheme, target.netloc, "/favicon.ico", "", ""))
                status, _headers, _body = fetch(opener, favicon)
                log.write(f"{status} /favicon.ico\n")
        log.write("done\n")


if __name__ == "__main__":
    main()
