#!/bin/bash
# Server script of the lab: harmless, prints where it ran.
echo "lab script ran as $(id -un) in ${PWD}"
