select 'a;b', "c;d", [e;f] -- tail; here
; /* block; */ select 2;