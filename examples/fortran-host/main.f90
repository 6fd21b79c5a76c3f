! Steady diffusion on an n x n x n box of cells in the unit cube, u = 0 on
! the walls, a unit source in every cell, assembled as compressed rows
! counted from 1 and solved through the module qvl3d. Stops with code 1
! unless the solve converged.
program fortran_host
  use, intrinsic :: iso_c_binding
  use qvl3d
  implicit none
  integer, parameter :: n = 16
  integer(c_int32_t), parameter :: rows = n * n * n
  integer(c_int32_t), allocatable :: rowptr(:), col(:)
  real(c_double), allocatable :: val(:), b(:), x(:)
  real(c_double) :: h, face, diagonal
  integer :: i, j, k, d, side, next, here
  integer :: at(3), step(3)
  type(qvl3d_options) :: options
  type(qvl3d_result) :: result
  type(c_ptr) :: solver
  character(kind=c_char, len=256) :: text
  integer(c_size_t) :: length

  h = 1.0d0 / n
  face = h
  allocate(rowptr(rows + 1), col(7 * rows), val(7 * rows), b(rows), x(rows))
  x = 0
  next = 1
  rowptr(1) = 1
  step = [1, n, n * n]
  do k = 0, n - 1
    do j = 0, n - 1
      do i = 0, n - 1
        at = [i, j, k]
        here = 1 + i + n * (j + n * k)
        diagonal = 0
        do d = 1, 3
          do side = -1, 1, 2
            if (at(d) + side < 0 .or. at(d) + side >= n) then
              diagonal = diagonal + 2 * face ! the wall lies half a cell away
              cycle
            end if
            diagonal = diagonal + face
            col(next) = here + side * step(d)
            val(next) = -face
            next = next + 1
          end do
        end do
        col(next) = here
        val(next) = diagonal
        next = next + 1
        rowptr(here + 1) = next
        b(here) = h**3
      end do
    end do
  end do

  if (qvl3d_options_default(options) /= QVL3D_OK) stop 1
  options%method = QVL3D_METHOD_PCG
  options%rtol = 1d-10
  if (qvl3d_solver_create(rows, rowptr, col, val, 1_c_int, options, solver) /= QVL3D_OK) then
    length = qvl3d_last_error_copy(c_null_ptr, text, len(text, kind=c_size_t))
    print '(a)', 'fortran-host: ' // text(1:index(text, c_null_char) - 1)
    stop 1
  end if
  if (qvl3d_solver_solve(solver, b, x, result) /= QVL3D_OK) then
    length = qvl3d_last_error_copy(solver, text, len(text, kind=c_size_t))
    print '(a)', 'fortran-host: ' // text(1:index(text, c_null_char) - 1)
    call qvl3d_solver_destroy(solver)
    stop 1
  end if
  length = qvl3d_status_name_copy(result%status, text, len(text, kind=c_size_t))
  print '(a,i0,a,a,a,i0,a,es10.3)', 'fortran-host: ', rows, ' cells, ', text(1:index(text, c_null_char) - 1), &
    ' after ', result%iterations, ' iterations, relative residual ', result%relative_residual
  call qvl3d_solver_destroy(solver)
  deallocate(rowptr, col, val, b, x)
  if (result%converged /= 1) stop 1
end program fortran_host
