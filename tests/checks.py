"""Expectations met one after another: each printed as it is met or not
("  ok    ..." or "  FAIL  ..." with what was found instead), the failures
kept for the verdict at the end."""


class Checks:
    def __init__(self):
        self.failures = []
        self.passed = 0

    def expect(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print("  ok    %s" % what)
        else:
            self.failures.append(what)
            print("  FAIL  %s%s" % (what, ("\n" + detail).replace("\n", "\n        ") if detail else ""))
        return ok

    def status(self, counted="check(s)"):
        """The exit status, with one line when anything failed."""
        if self.failures:
            print("FAILED: %d %s" % (len(self.failures), counted))
        return 1 if self.failures else 0
