#!/bin/sh
# SPDX-License-Identifier: MIT
# Stands in for lintian in the tests of CheckLintian.cmake: prints
# FAKE_LINTIAN_OUTPUT and exits with FAKE_LINTIAN_EXIT.
printf '%b' "$FAKE_LINTIAN_OUTPUT"
exit "${FAKE_LINTIAN_EXIT:-0}"
