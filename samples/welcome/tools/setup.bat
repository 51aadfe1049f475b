ECHO off
ECHO Daduvivu sample installed.
