// The console key wait, declared for hosts without Windows.
#pragma once

int _getch();
