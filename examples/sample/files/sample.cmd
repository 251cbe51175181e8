@echo off
echo Kestrel sample product %*
pause
