"""Readable descriptions of the submission statuses and rejection/failure reasons the
tracker stores.

``describe_reason(text, kind="rejection_reason")`` returns ``{"rendered": sentence,
"machine": token}``: a sentence for people and a stable snake_case token for programs
(numbers are left out of the token, so one reason with different measured values maps to
one token). ``kind`` is "status", "rejection_reason" or "failure_reason".

The tracker looks ``describe_reason`` up on this module each time it builds its catalogue
of reasons, so a host substitutes its own describer by replacing the attribute. The
default is implemented in the compiled extension and called there directly.
"""

from plintrove.search_tracking import _describe_reason as describe_reason

__all__ = ["describe_reason"]
