 ; -- only a comment
;/* and */;