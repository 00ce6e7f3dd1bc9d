"""Cookies kept across requests, by the standard library's `CookieJar`
rules (domain, path, expiry, secure), through the small adapters it reads."""

from __future__ import annotations

import email.message
import urllib.request
from http.cookiejar import Cookie, CookieJar

from ._models import Request, Response


class _Answer:
    """What `CookieJar.extract_cookies` reads of a response."""

    def __init__(self, response: Response) -> None:
        self.fields = email.message.Message()
        for name, value in response.headers.items():
            self.fields[name] = value.decode("latin-1")

    def info(self) -> email.message.Message:
        return self.fields


class Cookies:
    """A client's cookies: each answer's Set-Cookie stored, each request
    given the ones that match it."""

    def __init__(self, initial: dict[str, str] | None = None, jar: CookieJar | None = None) -> None:
        self.jar = jar if jar is not None else CookieJar()
        for name, value in (initial or {}).items():
            self.set(name, value)

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        self.jar.set_cookie(Cookie(0, name, value, None, False, domain, bool(domain), domain.startswith("."),
                                   path, True, False, None, False, None, None, {}))

    def get(self, name: str) -> str | None:
        return next((c.value for c in self.jar if c.name == name), None)

    def __len__(self) -> int:
        return len(self.jar)

    def add_to(self, request: Request) -> None:
        if not len(self.jar):
            return
        probe = urllib.request.Request(request.url, method=request.method)
        self.jar.add_cookie_header(probe)
        line = probe.get_header("Cookie")
        if line:
            request.headers["cookie"] = line

    def take_from(self, response: Response) -> None:
        if "set-cookie" in response.headers:
            probe = urllib.request.Request(response.request.url, method=response.request.method)
            self.jar.extract_cookies(_Answer(response), probe)  # type: ignore[arg-type]
