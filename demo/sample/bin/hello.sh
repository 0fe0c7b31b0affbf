#!/bin/sh
echo "hello from the extracted sample"
